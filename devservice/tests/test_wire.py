import random

import pytest

from qm_devservice.wire import decode_body, document, text_to_bytes
from qmclient import parse_response, utf16_units


@pytest.mark.parametrize("raw, expected", [
    (b"a=1+2&b=x%3Dy", {"a": b"1+2", "b": b"x=y"}),
    (b"name=a=b=c", {"name": b"a=b=c"}),                # split at the first "=" only
    (b"n=%25%26%3C%3E%5C", {"n": b"%&<>\\"}),
    (b"n=100%&m=%zz%4", {"n": b"100%", "m": b"%zz%4"}),  # broken escapes stay literal
    (b"flag&&x=", {"flag": b"", "x": b""}),
    (b"n=\xc3\xa9 \x01", {"n": b"\xc3\xa9 \x01"}),        # raw bytes pass through
])
def test_decode_body(raw, expected):
    assert decode_body(raw) == expected


TRICKY = ["", "plain", "a<b>c", "\\", "ends with \\", "\\\\", "\\<", "\\>", "<\\>", "a\\>b",
          "x</Name>", "</>", "<<>>", "😀 日本語", "tab\tand\r\nnewline", "\\ \\"]


def _round_trip(value):
    data = document(records=[("Directory", [("Description", value), ("Name", "after")])],
                    variables=[("Top", value)])
    root = parse_response(data)
    record = root.records("Directory")[0]
    assert record.get("Name") == "after", "the value broke the fields after it"
    assert root.get("Top") == record.get("Description")
    return record.get("Description")


@pytest.mark.parametrize("value", TRICKY)
def test_values_survive_the_client_parser(value):
    expected = value + " " if value.endswith("\\") else value
    assert _round_trip(value) == utf16_units(expected)


def test_random_marker_soup_always_parses():
    rng = random.Random(7)
    for _ in range(3000):
        value = "".join(rng.choice("\\<>/a") for _ in range(rng.randint(1, 10)))
        assert _round_trip(value) == (value + " " if value.endswith("\\") else value)


def test_astral_characters_are_sent_as_surrogate_pairs():
    assert text_to_bytes("x😀") == b"x\xed\xa0\xbd\xed\xb8\x80"
