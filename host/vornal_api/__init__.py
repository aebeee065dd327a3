"""Stand-in for the application package; shares its path with the built extension modules."""
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

LOG_FILE_NAME = "vornal_api.log"
