"""The demo account: a small tree worth looking at in Explorer."""

import io
import secrets

from PIL import Image, ImageDraw

from .store import ROOT
from .wire import ServiceError

DEMO_USER = "demo"


def _gradient_png(width, height):
    img = Image.new("RGB", (width, height))
    px = img.load()
    for y in range(height):
        for x in range(width):
            px[x, y] = (255 * x // width, 120 + 100 * y // height, 255 - 255 * y // height)
    draw = ImageDraw.Draw(img)
    draw.ellipse((width // 3, height // 4, width // 3 + height // 2, height // 4 + height // 2),
                 fill=(255, 210, 60))
    out = io.BytesIO()
    img.save(out, "PNG")
    return out.getvalue()


def _forest_jpeg(width, height):
    img = Image.new("RGB", (width, height), (150, 200, 235))
    draw = ImageDraw.Draw(img)
    draw.rectangle((0, height * 2 // 3, width, height), fill=(60, 110, 50))
    for i in range(12):
        x = i * width // 12 + 10
        draw.polygon([(x, height * 2 // 3 + 20), (x + 30, height // 4 + (i % 3) * 25),
                      (x + 60, height * 2 // 3 + 20)], fill=(20, 80 + i * 8, 40))
    out = io.BytesIO()
    img.save(out, "JPEG", quality=85)
    return out.getvalue()


def _find(store, user_id, parent, name):
    dirs, _ = store.list_dir(user_id, parent)
    for d in dirs:
        if d["name"] == name:
            return d["id"]
    raise KeyError(name)


def _put(store, user_id, parent, name, data, description=""):
    file_id = store.create_file(user_id, parent, name, len(data))
    with open(store.content_path(file_id), "wb") as f:
        f.write(data)
    if description:
        store.set_file_description(user_id, file_id, description)
    store.update_file_info(user_id, file_id)
    return file_id


def ensure_demo(store, password=None):
    """Create the demo account if the data folder has none; give it a fresh
    password (or the one asked for) either way.  Returns the password."""
    password = password or secrets.token_urlsafe(9)
    try:
        store.user(DEMO_USER)
        store.set_password(DEMO_USER, password)
        return password
    except ServiceError:
        pass
    uid = store.add_user(DEMO_USER, password, capacity=1024 ** 3, level="Premium (demo)")
    home = _find(store, uid, ROOT, "Home")
    music = _find(store, uid, ROOT, "Music")
    photos = _find(store, uid, ROOT, "Photos")

    store.set_dir_description(uid, home, "Everyday documents")
    _put(store, uid, home, "Read me.txt",
         "Welcome to the Quillmere drive.\r\nDrag files here to upload them.\r\n".encode())
    _put(store, uid, home, "Café crème – recette.txt",
         "Lait, café, un peu de crème fouettée.\r\n".encode("utf-8"), "Une recette")
    letters = store.create_dir(uid, home, "Lettres à Zoë")
    _put(store, uid, letters, "Brief an Jürgen.txt", "Lieber Jürgen, schöne Grüße!\r\n".encode())
    _put(store, uid, letters, "Письмо.txt", "Привет из Москвы!\r\n".encode())

    store.set_dir_description(uid, photos, "Pictures, with thumbnails")
    _put(store, uid, photos, "Coucher de soleil.png", _gradient_png(640, 400))
    _put(store, uid, photos, "Forêt en été.jpg", _forest_jpeg(800, 500))

    _put(store, uid, music, "Playlist.m3u", b"#EXTM3U\r\n")

    shared = store.create_dir(uid, ROOT, "Partagé publiquement",
                              description="Anyone can open these files by link", access=1)
    _put(store, uid, shared, "Horaires.txt", b"Lundi - vendredi : 9h - 18h\r\n")
    store.create_dir(uid, ROOT, "Projets 2024")
    return password

