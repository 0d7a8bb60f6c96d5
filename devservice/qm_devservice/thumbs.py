"""Thumbnails: a PNG of at most 256 x 256 pixels for picture files.

The client reads a thumbnail into a 256 KiB buffer and gives up when it is
nearly full, so the result is kept far below that: a full-colour PNG of
photographic content can approach 200 KiB, and then it is redone with a
256-colour palette, which bounds it near 70 KiB.
"""

import io
import warnings

from PIL import Image

MAX_SIDE = 256
TARGET_BYTES = 128 * 1024
PICTURE_FORMATS = {"PNG", "JPEG", "GIF", "BMP"}


def _encode(img):
    out = io.BytesIO()
    img.save(out, "PNG", optimize=False, compress_level=9)
    return out.getvalue()


def make_thumbnail(path):
    """PNG bytes, or b"" when the file is not a picture we can read."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            with Image.open(path) as img:
                if img.format not in PICTURE_FORMATS:
                    return b""
                if img.format == "JPEG":
                    img.draft("RGB", (MAX_SIDE, MAX_SIDE))
                img.seek(0)
                has_alpha = img.mode in ("RGBA", "LA", "PA") or "transparency" in img.info
                img = img.convert("RGBA" if has_alpha else "RGB")
                img.thumbnail((MAX_SIDE, MAX_SIDE))
        data = _encode(img)
        if len(data) > TARGET_BYTES:
            data = _encode(img.quantize(256, method=Image.Quantize.FASTOCTREE))
        return data
    except Exception:  # noqa: BLE001 - any unreadable or hostile file just has no thumbnail
        return b""
