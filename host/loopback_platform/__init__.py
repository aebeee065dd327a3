"""The remote platform's token service, served over HTTP on the loopback interface from a thread.

It issues tokens (POST /api/tokens, for the user named by the X-User-Sub header), revokes them
(DELETE /api/tokens/<uid>, 404 when unknown) and checks them (GET /api/tokens/check with a
bearer token, 401 when unknown). `failures` makes a route ("create", "revoke", "check") answer
with the given error status instead; `malformed` leaves the uid out of an issued token's answer.
"""
import json
import secrets
import threading
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any, Optional
from urllib.parse import unquote


class PlatformServer:
    def __init__(self) -> None:
        self.tokens: dict[str, dict[str, str]] = {}  # uid -> {"name", "api_token", "user_sub"}
        self.issued: list[str] = []  # every uid issued, revoked or not
        self.failures: dict[str, int] = {}
        self.malformed = False
        self._lock = threading.Lock()
        self._httpd: Optional[ThreadingHTTPServer] = None
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        assert self._httpd is not None, "the server is not started"
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> "PlatformServer":
        # Port 0: the system picks a free port.
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _handler_for(self))
        self._thread = threading.Thread(target=self._httpd.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        """Stops serving and closes the port, so that connections to it are refused."""
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            if self._thread is not None:
                self._thread.join()

    def __enter__(self) -> "PlatformServer":
        return self.start()

    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.stop()

    def knows(self, uid: str) -> bool:
        with self._lock:
            return uid in self.tokens

    def issue(self, user_sub: str, name: str) -> dict[str, Any]:
        uid = str(uuid.uuid4())
        api_token = secrets.token_urlsafe(32)
        with self._lock:
            self.tokens[uid] = {"name": name, "api_token": api_token, "user_sub": user_sub}
            self.issued.append(uid)
        answer = {"uid": uid, "name": name, "api_token": api_token}
        if self.malformed:
            del answer["uid"]
        return answer

    def revoke(self, uid: str) -> bool:
        with self._lock:
            return self.tokens.pop(uid, None) is not None

    def accepts(self, api_token: str) -> bool:
        with self._lock:
            return any(t["api_token"] == api_token for t in self.tokens.values())


def _handler_for(platform: PlatformServer):
    class Handler(BaseHTTPRequestHandler):
        def log_message(self, format, *args):
            pass

        def _answer(self, status: int, body=None) -> None:
            data = b"" if body is None else json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def _failed(self, route: str) -> bool:
            status = platform.failures.get(route)
            if status is None:
                return False
            self._answer(status, {"detail": f"{route} failed"})
            return True

        def do_POST(self):
            if self.path != "/api/tokens":
                return self._answer(404, {"detail": "no such route"})
            length = int(self.headers.get("Content-Length") or 0)
            body = json.loads(self.rfile.read(length) or b"{}")
            if self._failed("create"):
                return
            user_sub = self.headers.get("X-User-Sub")
            if not user_sub:
                return self._answer(401, {"detail": "not logged in"})
            self._answer(201, platform.issue(user_sub, body.get("name", "")))

        def do_DELETE(self):
            prefix = "/api/tokens/"
            if not self.path.startswith(prefix):
                return self._answer(404, {"detail": "no such route"})
            if self._failed("revoke"):
                return
            if not platform.revoke(unquote(self.path[len(prefix):])):
                return self._answer(404, {"detail": "unknown token"})
            self._answer(204)

        def do_GET(self):
            if self.path != "/api/tokens/check":
                return self._answer(404, {"detail": "no such route"})
            if self._failed("check"):
                return
            scheme, _, api_token = (self.headers.get("Authorization") or "").partition(" ")
            if scheme != "Bearer" or not platform.accepts(api_token):
                return self._answer(401, {"detail": "invalid token"})
            self._answer(200, {"valid": True})

    return Handler
