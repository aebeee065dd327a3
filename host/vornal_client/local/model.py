"""Tables of the client's local store."""
from typing import Optional

from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


class Base(DeclarativeBase):
    pass


class Users(Base):
    """A user who has logged in on this machine; `api_token` holds the stored token record as JSON."""
    __tablename__ = "users"
    username: Mapped[str] = mapped_column(primary_key=True)
    firstname: Mapped[Optional[str]]
    lastname: Mapped[Optional[str]]
    api_token: Mapped[Optional[str]]
