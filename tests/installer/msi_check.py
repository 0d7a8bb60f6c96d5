#!/usr/bin/env python3
"""The installer package under wine64, silently, in scratch prefixes copied from one made for it:
what DllRegisterServer writes against what the package writes, in both registry views; files in
both folders; uninstallation with a running session manager; downgrade refused, upgrade to one
product; a late failure rolled back. Prints the package's size and the install and uninstall
times. Usage: msi_check.py BUILD_DIR SOURCE_DIR"""
import os
import re
import shutil
import subprocess
import sys
import time

build, source = (os.path.abspath(a) for a in sys.argv[1:3])
work = os.path.join(build, 'msi-test')
package = os.path.join(build, 'bin', 'Quillmere.msi')
older = os.path.join(build, 'installer', 'tests', 'Quillmere-older.msi')
failing = os.path.join(build, 'installer', 'tests', 'Quillmere-failing.msi')
staged_dll = os.path.join(build, 'installer', 'x86_64', 'Quillmere.dll')
failures = []

# Installer bookkeeping: the product's registration, not the drive's.
BOOKKEEPING = re.compile(r'^hkey_local_machine\\software\\(classes\\installer|'
                         r'microsoft\\windows\\currentversion\\(installer|uninstall))(\\|$)')
WOW = re.compile(r'\\(classes\\wow6432node|wow6432node\\classes|wow6432node)(?=\\|$)')


def check(ok, what, detail=''):
    print(('ok   ' if ok else 'FAIL ') + what + ('' if ok or not detail else '\n     ' + str(detail)))
    if not ok:
        failures.append(what)


def win(path):
    return 'Z:' + path.replace('/', '\\')


class Prefix:
    """A copy of the template prefix; a 64-bit Wine with nothing of ours in it."""

    def __init__(self, name):
        self.path = os.path.join(work, name)
        shutil.rmtree(self.path, ignore_errors=True)
        shutil.copytree(os.path.join(work, 'template'), self.path, symlinks=True)
        out = subprocess.run(['bash', '-c', '. "$1/cmake/wine-env.sh"; qm_wine_env x86_64 "$2"; env -0',
                              'env', source, self.path], capture_output=True, check=True).stdout
        self.env = dict(item.split('=', 1) for item in out.decode().split('\0') if '=' in item)
        self.drive_c = os.path.join(self.path, 'drive_c')

    def wine(self, *args):
        started = time.monotonic()
        rc = subprocess.run([self.env['QM_WINE'], *args], env=self.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        return rc, time.monotonic() - started

    def msiexec(self, mode, msi):
        return self.wine('msiexec', mode, win(msi), '/qn')

    def snapshot(self):
        """Every key and value under HKLM\\Software (both views): {(key, None): None,
        (key, value name): value as exported}."""
        out = os.path.join(self.path, 'snapshot.reg')
        self.wine('reg', 'export', 'HKLM\\Software', win(out), '/y')
        with open(out, 'rb') as f:
            text = f.read().decode('utf-16').replace('\\\r\n  ', '').replace('\r\n', '\n')
        entries, key = {}, None
        for line in text.split('\n'):
            if line.startswith('['):
                key = line[1:-1].lower()
                entries[(key, None)] = None
            elif key and (m := re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)):
                entries[(key, (m.group(2) or '').lower())] = m.group(3)
        return entries

    def folder(self, bits):
        return os.path.join(self.drive_c, 'Program Files' if bits == 64 else 'Program Files (x86)', 'Quillmere')

    def session_running(self):
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open(f'/proc/{pid}/cmdline', 'rb') as f:
                    cmdline = f.read()
                with open(f'/proc/{pid}/environ', 'rb') as f:
                    environ = f.read().split(b'\0')
            except OSError:
                continue
            if b'Quillmere_Session.exe' in cmdline and b'WINEPREFIX=' + self.path.encode() in environ:
                return True
        return False

    def products(self):
        """Versions of the installed products named Quillmere (Wine shows the list in both views)."""
        s = as_64(self.snapshot())
        return sorted(v for (k, n), v in s.items() if n == 'displayversion' and '\\uninstall\\' in k and
                      s.get((k, 'displayname')) == '"Quillmere"')

    def close(self):
        subprocess.run([self.env['QM_WINESERVER'], '-k'], env=self.env, stderr=subprocess.DEVNULL)


def added(before, after):
    return {e: v for e, v in after.items() if before.get(e, 0) != v and not BOOKKEEPING.match(e[0])}


def is_32(entry):
    return 'wow6432node' in entry[0] or entry[0].endswith('\\win32')


def as_64(entries):
    """The 32-bit view's entries under the 64-bit names, folders and type library platform."""
    return {(WOW.sub(lambda m: '\\classes' if 'classes' in m.group(1) else '', k).replace('\\win32', '\\win64'), n):
            v if v is None else v.replace('Program Files (x86)', 'Program Files') for (k, n), v in entries.items()}


def differences(a, b):
    return sorted(set(a.items()) ^ set(b.items()), key=str)[:20]


def main():
    os.makedirs(work, exist_ok=True)
    subprocess.run(['bash', os.path.join(source, 'cmake', 'make-prefix.sh'), 'x86_64',
                    os.path.join(work, 'template')], check=True)
    print(f'package: {os.path.getsize(package)} bytes')

    # What DllRegisterServer writes for the DLL at the place the package puts it.
    reg = Prefix('registered')
    base = reg.snapshot()
    os.makedirs(reg.folder(64))
    shutil.copy(staged_dll, reg.folder(64))
    rc, _ = reg.wine('regsvr32', '/s', 'C:\\Program Files\\Quillmere\\Quillmere.dll')
    registered = added(base, reg.snapshot())
    reg.close()
    check(rc == 0 and (f'hkey_local_machine\\software\\classes\\typelib\\{{596a3524-749a-4dd0-8827-9d1bea54bf63}}'
                       '\\1.0\\0\\win64', '') in registered, 'DllRegisterServer registered the drive', rc)
    registered64 = {e: v for e, v in registered.items() if not is_32(e)}

    p = Prefix('installed')
    before = p.snapshot()
    rc, install_time = p.msiexec('/i', package)
    check(rc == 0, 'the package installs', rc)
    print(f'install: {install_time:.1f} s')
    files = [os.path.join(p.folder(b), f) for b in (64, 32) for f in ('Quillmere.dll', 'Quillmere_Session.exe')]
    check(all(os.path.isfile(f) for f in files), 'both DLLs and session managers are installed', files)

    written = added(before, p.snapshot())
    view64 = {e: v for e, v in written.items() if not is_32(e)}
    check(view64 == registered64, 'the 64-bit view holds exactly what DllRegisterServer writes',
          differences(view64, registered64))
    # The type library's key is one for both views: its common values count for the 32-bit DLL too.
    view32 = as_64({e: v for e, v in written.items() if is_32(e) or
                    ('\\typelib\\' in e[0] and not e[0].endswith('\\win64'))})
    values = lambda d: {e: v for e, v in d.items() if e[1] is not None}
    keys = lambda d: {k for k, _ in d}
    existing = keys(as_64(before))
    check(values(view32) == values(registered64) and keys(registered64) <= keys(view32) <= keys(registered64) | existing,
          'the 32-bit view holds the same entries for the 32-bit DLL', differences(values(view32), values(registered64)))

    # Uninstallation: a running session manager is ended, the user's cache stays.
    cache = os.path.join(p.drive_c, 'users', os.environ.get('USER', 'root'), 'AppData', 'Local', 'Quillmere',
                         'Thumbnails')
    os.makedirs(cache, exist_ok=True)
    open(os.path.join(cache, 'kept.png'), 'wb').close()
    session = subprocess.Popen([p.env['QM_WINE'], os.path.join(p.folder(64), 'Quillmere_Session.exe')], env=p.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if p.session_running():
            break
        time.sleep(0.1)
    check(p.session_running(), 'a session manager runs before uninstallation')
    rc, uninstall_time = p.msiexec('/x', package)
    print(f'uninstall: {uninstall_time:.1f} s')
    try:
        session.wait(timeout=10)
    except subprocess.TimeoutExpired:
        session.kill()
    after = p.snapshot()
    # The installer's own folders stay once made, empty.
    left = added(before, after)
    gone = {e for e in before if e not in after}
    check(rc == 0 and not p.session_running(), 'uninstallation ends the session manager', rc)
    check(not left and not p.products() and all(n is None for _, n in gone),
          'uninstallation leaves no key or value in either view',
          sorted(left.items(), key=str)[:20] + sorted(e for e in gone if e[1] is not None)[:20])
    check(not any(os.path.exists(p.folder(b)) for b in (64, 32)), 'uninstallation removes both folders')
    check(os.path.isfile(os.path.join(cache, 'kept.png')), "the user's cache stays")

    current = p.msiexec('/i', package)[0]
    refused = p.msiexec('/i', older)[0]
    check(current == 0 and refused != 0 and len(p.products()) == 1, 'a downgrade is refused',
          (current, refused, p.products()))
    p.msiexec('/x', package)
    first, upgrade = p.msiexec('/i', older)[0], p.msiexec('/i', package)[0]
    products = p.products()
    check(first == 0 and upgrade == 0 and len(products) == 1 and products[0] != '"0.9.0"',
          'an upgrade leaves one product, the newer', (first, upgrade, products))
    p.msiexec('/x', package)

    before = p.snapshot()
    rc, _ = p.msiexec('/i', failing)
    left = added(before, p.snapshot())
    check(rc != 0 and not left and not any(os.path.exists(p.folder(b)) for b in (64, 32)),
          'a failing action rolls everything back', (rc, sorted(left.items(), key=str)[:20]))
    p.close()
    return 1 if failures else 0


sys.exit(main())
