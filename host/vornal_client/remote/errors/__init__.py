"""The errors that mean the remote platform cannot be reached."""
import httpx

CONNECTION_ERRORS = (httpx.ConnectError, httpx.ConnectTimeout)
