"""What goes over HTTP: request bodies in, tagged documents out.

The drive's client writes form bodies its own way: a fixed handful of
characters become %XX, everything else (including "+", "=" inside values,
control characters and UTF-8 bytes) is sent raw.  Characters outside the
Basic Multilingual Plane arrive as two 3-byte sequences, one per UTF-16
surrogate half, because the client encodes UTF-16 units, not code points.

Its response parser only understands 1- to 3-byte UTF-8 sequences, so text
going back is written the same way.  A name therefore survives a round trip
byte for byte.
"""

import re

HEX = b"0123456789abcdefABCDEF"


class ServiceError(Exception):
    """A failure that the client sees as an Error record."""

    def __init__(self, name, description):
        super().__init__(f"{name}: {description}")
        self.name = name
        self.description = description


def percent_decode(raw):
    """Decode %XX escapes only; a malformed escape stays as it is."""
    if b"%" not in raw:
        return raw
    out = bytearray()
    i, n = 0, len(raw)
    while i < n:
        c = raw[i]
        if c == 0x25 and i + 2 < n and raw[i + 1] in HEX and raw[i + 2] in HEX:
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(c)
            i += 1
    return bytes(out)


def decode_body(raw):
    """Split a form body into a dict of name -> raw value bytes.

    "+" is a plus sign, not a space: the client never encodes it.  A later
    duplicate replaces an earlier one.  Names are returned as text (they are
    ASCII from every client we know; anything else is decoded leniently).
    """
    params = {}
    for piece in raw.split(b"&"):
        if not piece:
            continue
        name, sep, value = piece.partition(b"=")
        key = percent_decode(name).decode("utf-8", "replace")
        params[key] = percent_decode(value)
    return params


def join_surrogates(text):
    """Turn surrogate pairs (as decoded from the client's bytes) into code points."""
    if not any("\ud800" <= ch <= "\udfff" for ch in text):
        return text
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")


def bytes_to_text(raw):
    """Client bytes -> str.  Accepts both 4-byte UTF-8 and surrogate-pair
    sequences for the same character, so both name it the same way.
    Raises UnicodeError for invalid UTF-8 or unpaired surrogates."""
    text = join_surrogates(raw.decode("utf-8", "surrogatepass"))
    for ch in text:
        if "\ud800" <= ch <= "\udfff":
            raise UnicodeError("unpaired surrogate")
    return text


def split_astral(text):
    """Code points above U+FFFF -> surrogate pairs (as Python str units)."""
    if all(ord(ch) < 0x10000 for ch in text):
        return text
    out = []
    for ch in text:
        cp = ord(ch)
        if cp < 0x10000:
            out.append(ch)
        else:
            cp -= 0x10000
            out.append(chr(0xD800 + (cp >> 10)))
            out.append(chr(0xDC00 + (cp & 0x3FF)))
    return "".join(out)


def text_to_bytes(text):
    """str -> the bytes the client's decoder reads back as the same UTF-16."""
    return split_astral(text).encode("utf-8", "surrogatepass")


def utf16_length(text):
    return len(text) + sum(1 for ch in text if ord(ch) > 0xFFFF)


def escape(text):
    """Escape a text value for the document.

    Only "<" and ">" are escaped, with a backslash.  The client skips any
    marker that has a backslash in front of it, so a value ending in "\\"
    would hide the "<" of its own closing tag and wreck the rest of the
    document.  No escaped form can end in a backslash either, so such a
    value is written with one space after it: the stored value keeps its
    backslash, the client sees "...\\ ".
    """
    text = text.replace("<", "\\<").replace(">", "\\>")
    if text.endswith("\\"):
        text += " "
    return text


def format_value(value):
    if value is True:
        return "True"
    if value is False:
        return "False"
    if value is None:
        return ""
    return str(value)


def element(tag, value):
    return f"<{tag}>{escape(format_value(value))}</{tag}>"


def document(variables=(), records=()):
    """Build a response document.

    variables: sequence of (name, value).
    records: sequence of (tag, [(name, value), ...]).
    """
    parts = ["<Response>"]
    for name, value in variables:
        parts.append(element(name, value))
    for tag, fields in records:
        parts.append(f"<{tag}>")
        for name, value in fields:
            parts.append(element(name, value))
        parts.append(f"</{tag}>")
    parts.append("</Response>")
    return text_to_bytes("".join(parts))


def error_document(name, description):
    return document(records=[("Error", [("Name", name), ("Description", description)])])


_SAFE_LOG = re.compile(r"[\x00-\x1f\x7f]")


def log_safe(text, limit=80):
    """One-line, bounded rendering of client text for the request log."""
    text = _SAFE_LOG.sub("?", text)
    return text if len(text) <= limit else text[:limit] + "..."
