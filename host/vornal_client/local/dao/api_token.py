"""`dao_api_token`: each user's stored API token, kept in the user's row; the session comes last."""
from typing import Optional

from pydantic import ValidationError
from sqlalchemy.orm import Session

from ..model import Users
from ..models.keychits import APIKeyInfo


class DAOAPIToken:
    def read(self, user: str, session: Session) -> Optional[APIKeyInfo]:
        """The user's token, or None when there is none or the stored record cannot be read."""
        row = session.get(Users, user)
        if row is None or row.api_token is None:
            return None
        try:
            return APIKeyInfo.model_validate_json(row.api_token)
        except ValidationError:
            return None

    def write(self, user: str, token_info: APIKeyInfo, session: Session) -> None:
        """Stores the token in the user's row, adding the row for a user not seen before."""
        row = session.get(Users, user)
        if row is None:
            row = Users(username=user)
            session.add(row)
        row.api_token = token_info.model_dump_json()
        session.flush()

    def delete(self, user: str, session: Session) -> None:
        row = session.get(Users, user)
        if row is not None:
            row.api_token = None
            session.flush()


dao_api_token = DAOAPIToken()
