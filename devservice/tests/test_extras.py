"""Thumbnails the drive can take, and the control endpoint's absence outside test mode."""

import io
import os
import urllib.error
import urllib.request

import pytest
from PIL import Image

from qm_devservice import DevService


def put(svc, client, dir_id, name, data):
    item = client.create_file(dir_id, name, len(data))
    with open(svc.store.content_path(item["ID"]), "wb") as f:
        f.write(data)
    return item


def fetch(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as resp:
            return resp.status, resp.read()
    except urllib.error.HTTPError as err:
        return err.code, b""


def picture(fmt, size, mode="RGB"):
    img = Image.effect_noise(size, 90).convert(mode)
    out = io.BytesIO()
    img.save(out, fmt)
    return out.getvalue()


@pytest.mark.parametrize("fmt, size, mode", [
    ("PNG", (1600, 900), "RGBA"), ("PNG", (256, 256), "RGBA"), ("JPEG", (300, 2000), "RGB"),
    ("GIF", (500, 500), "P"), ("BMP", (640, 480), "RGB"), ("PNG", (40, 30), "L"),
])
def test_thumbnails_are_small_pngs(svc, fmt, size, mode):
    user = svc.user()
    item = put(svc, user, "0", f"pic.{fmt.lower()}", picture(fmt, size, mode))
    status, data = user.thumbnail(item["ID"])
    thumb = Image.open(io.BytesIO(data))
    assert status == 200 and thumb.format == "PNG"
    assert max(thumb.size) == min(256, max(size)) and max(thumb.size) <= 256
    assert len(data) < 128 * 1024      # the drive's buffer is 256 KiB


def test_control_exists_only_in_test_mode(tmp_path, host_key):
    with open(os.devnull, "w") as log, DevService(tmp_path, http_port=0, sftp_port=0,
                                                  host_key=host_key, log_stream=log) as service:
        assert fetch(f"{service.base_url}/_control/state")[0] == 404
