"""A stand-in for the Quillmere storage service and its transfer host, for
development, demonstrations and tests of the drive."""

from .service import DevService

__all__ = ["DevService"]
