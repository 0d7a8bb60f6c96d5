#!/usr/bin/env python3
# The installer package under wine64, silently, in scratch prefixes linked from one made for it:
# its entries in both registry views against what DllRegisterServer writes; files in both folders;
# uninstallation with a session manager running; downgrade refused, upgrade to one product; a late
# failure rolled back. Prints the package's size and the install and uninstall times.
# Usage: msi_check.py BUILD_DIR SOURCE_DIR
import os, re, shutil, subprocess, sys, time

build, source = (os.path.abspath(a) for a in sys.argv[1:3])
work, failures = os.path.join(build, 'msi-test'), []
package = os.path.join(build, 'bin', 'Quillmere.msi')
older, failing = (os.path.join(build, 'installer', 'tests', f'Quillmere-{v}.msi') for v in ('older', 'failing'))
# The installer's own records of the product, not the drive's entries.
BOOKKEEPING = re.compile(r'^hkey_local_machine\\software\\(classes\\installer|'
                         r'microsoft\\windows\\currentversion\\(installer|uninstall))(\\|$)')
WOW = re.compile(r'\\(classes\\wow6432node|wow6432node\\classes|wow6432node)(?=\\|$)')


def check(ok, what, detail=''):
    print(('ok   ' if ok else 'FAIL ') + what + ('' if ok else f'\n     {detail}'))
    failures.extend([] if ok else [what])


class Prefix:
    def __init__(self, name):
        self.path, template = os.path.join(work, name), os.path.join(work, 'template')
        shutil.rmtree(self.path, ignore_errors=True)
        # A prefix is some 700 MB: linked, but for the registry files, which must not be shared
        # with the template (Wine replaces them by renaming; nothing else there is written to).
        shutil.copytree(template, self.path, symlinks=True, copy_function=os.link)
        for name in ('system.reg', 'user.reg', 'userdef.reg'):
            os.unlink(os.path.join(self.path, name))
            shutil.copy2(os.path.join(template, name), self.path)
        out = subprocess.run(['bash', '-c', '. "$1/cmake/wine-env.sh"; qm_wine_env x86_64 "$2"; env -0', 'env',
                              source, self.path], capture_output=True, check=True).stdout.decode()
        self.env = dict(item.split('=', 1) for item in out.split('\0') if '=' in item)

    def wine(self, *args):
        return subprocess.run([self.env['QM_WINE'], *args], env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode

    def msiexec(self, mode, msi):
        return self.wine('msiexec', mode, 'Z:' + msi.replace('/', '\\'), '/qn')

    def snapshot(self):
        """HKLM\\Software in both views: {(key, None): None, (key, value name): value as exported}."""
        out = os.path.join(self.path, 'snapshot.reg')
        self.wine('reg', 'export', 'HKLM\\Software', 'Z:' + out.replace('/', '\\'), '/y')
        with open(out, 'rb') as f:
            text = f.read().decode('utf-16').replace('\\\r\n  ', '')
        entries, key = {}, None
        for line in text.split('\r\n'):
            if line.startswith('['):
                key = line[1:-1].lower()
                entries[(key, None)] = None
            elif key and (m := re.match(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$', line)):
                entries[(key, (m.group(2) or '').lower())] = m.group(3)
        return entries

    def folder(self, bits):
        return os.path.join(self.path, 'drive_c', 'Program Files' + ('' if bits == 64 else ' (x86)'), 'Quillmere')

    def session_running(self):
        mine = b'WINEPREFIX=' + self.path.encode()
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open(f'/proc/{pid}/cmdline', 'rb') as c, open(f'/proc/{pid}/environ', 'rb') as e:
                    if b'Quillmere_Session.exe' in c.read() and mine in e.read().split(b'\0'):
                        return True
            except OSError:
                pass
        return False

    def products(self):
        s = as_64(self.snapshot())  # Wine shows the list in both views
        return sorted(v for (k, n), v in s.items()
                      if n == 'displayversion' and '\\uninstall\\' in k and s.get((k, 'displayname')) == '"Quillmere"')

    def close(self):
        for flag in ('-k', '-w'):
            subprocess.run([self.env['QM_WINESERVER'], flag], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.path, ignore_errors=True)


def added(before, after):
    return {e: v for e, v in after.items() if before.get(e, 0) != v and not BOOKKEEPING.match(e[0])}


def is_32(entry):  # the 32-bit view, and the 32-bit DLL's part of the type library's shared key
    return 'wow6432node' in entry[0] or entry[0].endswith('\\win32')


def as_64(entries):
    """Entries of the 32-bit view under the 64-bit names, folder and type library platform."""
    return {(WOW.sub(lambda m: '\\classes' if 'classes' in m.group(1) else '', k).replace('\\win32', '\\win64'), n):
            v and v.replace('Program Files (x86)', 'Program Files') for (k, n), v in entries.items()}


def main():
    subprocess.run(['bash', f'{source}/cmake/make-prefix.sh', 'x86_64', f'{work}/template'], check=True)
    print(f'package: {os.path.getsize(package)} bytes')
    reg = Prefix('registered')  # DllRegisterServer of the packaged DLL, where the package puts it
    base = reg.snapshot()
    os.makedirs(reg.folder(64))
    shutil.copy(os.path.join(build, 'installer', 'x86_64', 'Quillmere.dll'), reg.folder(64))
    reg.wine('regsvr32', '/s', 'C:\\Program Files\\Quillmere\\Quillmere.dll')
    registered = {e: v for e, v in added(base, reg.snapshot()).items() if not is_32(e)}
    reg.close()

    p = Prefix('installed')
    before = p.snapshot()
    started = time.monotonic()
    rc = p.msiexec('/i', package)
    print(f'install: {time.monotonic() - started:.1f} s')
    files = [os.path.join(p.folder(b), f) for b in (64, 32) for f in ('Quillmere.dll', 'Quillmere_Session.exe')]
    check(rc == 0 and all(map(os.path.isfile, files)), 'both DLLs and session managers are installed', rc)
    written = added(before, p.snapshot())
    view64 = {e: v for e, v in written.items() if not is_32(e)}
    check(view64 == registered and len(registered) > 20, 'the 64-bit view holds exactly what DllRegisterServer writes',
          sorted(set(view64.items()) ^ set(registered.items()), key=str))
    # The type library's key is one for both views: its common values are the 32-bit DLL's too.
    view32 = as_64({e: v for e, v in written.items()
                    if is_32(e) or ('\\typelib\\' in e[0] and not e[0].endswith('\\win64'))})
    values, keys = (lambda d: {(e, v) for e, v in d.items() if e[1] is not None}), (lambda d: {k for k, _ in d})
    check(values(view32) == values(registered) and keys(registered) <= keys(view32) <= keys(registered) | keys(
        as_64(before)), 'the 32-bit view holds the same for the 32-bit DLL', values(view32) ^ values(registered))

    cache = os.path.join(p.path, 'drive_c', 'users', os.environ.get('USER', 'root'), 'AppData', 'Local', 'Quillmere')
    os.makedirs(cache, exist_ok=True)
    open(os.path.join(cache, 'thumbnail.png'), 'wb').close()
    session = subprocess.Popen([p.env['QM_WINE'], os.path.join(p.folder(64), 'Quillmere_Session.exe')], env=p.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    was_running = any(p.session_running() or time.sleep(0.1) for _ in range(100))
    started = time.monotonic()
    rc = p.msiexec('/x', package)
    print(f'uninstall: {time.monotonic() - started:.1f} s')
    try:
        session.wait(timeout=10)
    except subprocess.TimeoutExpired:
        session.kill()
    check(rc == 0 and was_running and not p.session_running(), 'uninstallation ends the session manager', rc)
    after = p.snapshot()  # the installer's own (empty) folders stay once made
    gone = [e for e in before if e not in after and e[1] is not None]
    check(not added(before, after) and not gone and not p.products() and not any(map(os.path.exists, files))
          and os.path.isfile(os.path.join(cache, 'thumbnail.png')),
          "uninstallation leaves no file, key or value in either view, and the user's cache", (added(before, after), gone))

    current, refused = p.msiexec('/i', package), p.msiexec('/i', older)
    check(current == 0 and refused != 0 and len(p.products()) == 1, 'a downgrade is refused',
          (current, refused, p.products()))
    p.msiexec('/x', package)
    first, upgrade = p.msiexec('/i', older), p.msiexec('/i', package)
    check(first == upgrade == 0 and p.products() != ['"0.9.0"'] and len(p.products()) == 1 and
          added(before, p.snapshot()) == written, 'an upgrade leaves one product, the newer, registered',
          (first, upgrade, p.products()))
    p.msiexec('/x', package)
    before = p.snapshot()
    rc = p.msiexec('/i', failing)
    left = added(before, p.snapshot())
    check(rc != 0 and not left and not any(map(os.path.exists, files)), 'a failing action rolls everything back',
          (rc, left))
    p.close()
    return 1 if failures else 0


sys.exit(main())
