"""Containers around the pictures (tar, ext4 image, X server memory dumps) and their truth."""

import os
import re
import shutil
import struct
import subprocess
import tarfile
import time

IMPORT = shutil.which("import-im6.q16") or "import"
DISPLAY = shutil.which("display-im6.q16") or "display"


# ---- tar --------------------------------------------------------------------------------------

def build_tar(stage, names, dst):
    """names: paths relative to stage, in archive order. Returns name -> offset of its data."""
    with tarfile.open(dst, "w", format=tarfile.GNU_FORMAT) as tar:
        for n in names:
            tar.add(os.path.join(stage, n), arcname=n, recursive=False)
    with tarfile.open(dst, "r") as tar:
        return {m.name: m.offset_data for m in tar.getmembers() if m.isfile()}


# ---- ext4 -------------------------------------------------------------------------------------

EXT4_BLOCK = 4096


def build_ext4(stage, names, dst):
    """mke2fs -d stage; returns name -> list of [image offset, bytes] runs of the file's data."""
    total = sum(os.path.getsize(os.path.join(stage, n)) for n in names)
    size_kb = int(total * 1.12 / 1024) + 24 * 1024
    if os.path.exists(dst):
        os.unlink(dst)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-b", str(EXT4_BLOCK), "-d", stage, dst, "%dk" % size_kb],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    cmds = "".join("ex /%s\n" % n for n in names)
    out = subprocess.run(["debugfs", "-f", "-", dst], input=cmds, capture_output=True, text=True, check=True).stdout
    # debugfs echoes each command as "debugfs: ex /path", then the extent tree; leaf lines give
    # "logical first - last  physical first - last  length". Blocks of zeros are holes: not in the image.
    extents, current = {}, None
    leaf = re.compile(r"^\s*\d+/\s*\d+\s+\d+/\s*\d+\s+(\d+)\s*-\s*(\d+)\s+(\d+)\s*-\s*(\d+)\s+(\d+)")
    for ln in out.splitlines():
        m = re.match(r"debugfs:\s+ex\s+/(.*)$", ln)
        if m:
            current = m.group(1)
            extents[current] = []
            continue
        m = leaf.match(ln)
        if current is not None and m:
            logical, _, physical, _, length = (int(v) for v in m.groups())
            extents[current].append((logical, physical, length))
    result = {}
    for n in names:
        size = os.path.getsize(os.path.join(stage, n))
        result[n] = file_runs(extents.get(n, []), size)
    return result


def file_runs(extents, size):
    """[file offset, image offset, bytes] runs of a file's data, from its extents; physically adjacent
    extents merge."""
    runs = []
    for logical, physical, length in sorted(extents):
        f_off, i_off = logical * EXT4_BLOCK, physical * EXT4_BLOCK
        n = min(length * EXT4_BLOCK, size - f_off)
        if n <= 0:
            continue
        if runs and runs[-1][0] + runs[-1][2] == f_off and runs[-1][1] + runs[-1][2] == i_off:
            runs[-1][2] += n
        else:
            runs.append([f_off, i_off, n])
    return runs


def map_range(runs, start, length):
    """The container runs holding bytes [start, start + length) of a file (holes are left out)."""
    out = []
    for f_off, i_off, n in runs:
        lo, hi = max(start, f_off), min(start + length, f_off + n)
        if lo < hi:
            out.append([i_off + lo - f_off, hi - lo, lo - start])
    return out


# ---- X server ---------------------------------------------------------------------------------

def free_display():
    for n in range(91, 140):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return n
    raise RuntimeError("no free X display number")


def start_xvfb(width, height, depth, fbdir):
    n = free_display()
    os.makedirs(fbdir, exist_ok=True)
    proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "%dx%dx%d" % (width, height, depth),
                             "-fbdir", fbdir, "-nolisten", "tcp"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists("/tmp/.X11-unix/X%d" % n):
            break
        if proc.poll() is not None:
            raise RuntimeError("Xvfb at depth %d did not start" % depth)
        time.sleep(0.1)
    time.sleep(0.5)
    env = dict(os.environ, DISPLAY=":%d" % n)
    return proc, env


def start_clients(env, width, height, photos):
    """Real programs on the screen: a photo as the root window, photo windows, a terminal, clocks."""
    procs = []
    if photos:
        subprocess.run([DISPLAY, "-window", "root", "-resize", "%dx%d!" % (width, height), photos[0]],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    programs = [
        ["xterm", "-geometry", "80x24+%d+%d" % (width // 2, height // 2), "-e", "sh", "-c",
         "ls -l /usr/bin | head -60; sleep 3600"],
        ["xclock", "-geometry", "160x160+10+10"],
        ["xcalc", "-geometry", "+%d+20" % (width - 260)],
        ["xeyes", "-geometry", "150x100+200+10"],
        ["xlogo", "-geometry", "100x100+380+10"],
    ]
    for i, photo in enumerate(photos[1:3]):
        programs.append([DISPLAY, "-geometry", "+%d+%d" % (40 + 300 * i, 200 + 60 * i), "-resize",
                         "%dx" % (width // 3), photo])
    for cmd in programs:
        if shutil.which(cmd[0]):
            procs.append(subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    time.sleep(3)
    return procs


def stop(procs):
    for p in procs:
        if p.poll() is None:
            p.terminate()
    for p in procs:
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def screenshot(width, height, dst, tmp, programs_seed=0):
    """A screenshot of real programs under Xvfb at depth 24 (import -window root)."""
    xvfb, env = start_xvfb(width, height, 24, tmp)
    try:
        clients = start_clients(env, width, height, [])
        try:
            subprocess.run([IMPORT, "-window", "root", dst], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        finally:
            stop(clients)
    finally:
        stop([xvfb])


def read_mappings(pid, dst):
    """All readable mappings of a process, one after the other, as a dump tool writes them."""
    placed = []
    with open("/proc/%d/maps" % pid) as f:
        maps = f.read().splitlines()
    pos = 0
    with open("/proc/%d/mem" % pid, "rb", buffering=0) as mem, open(dst, "wb") as out:
        for line in maps:
            parts = line.split(None, 5)
            lo, hi = (int(x, 16) for x in parts[0].split("-"))
            perms, file_off = parts[1], int(parts[2], 16)
            path = parts[5] if len(parts) > 5 else ""
            if perms[0] != "r" or path in ("[vvar]", "[vsyscall]"):
                continue
            chunks, ok = [], True
            addr = lo
            try:
                while addr < hi:
                    mem.seek(addr)
                    chunk = mem.read(min(hi - addr, 16 << 20))
                    if not chunk:
                        ok = False
                        break
                    chunks.append(chunk)
                    addr += len(chunk)
            except OSError:
                ok = False
            if not ok:
                continue
            for c in chunks:
                out.write(c)
            placed.append({"offset": pos, "size": hi - lo, "address": lo, "perms": perms, "file_offset": file_off,
                           "path": path})
            pos += hi - lo
    return placed


def mapping_members(placed):
    """The truth's members for mappings read one after the other into a dump."""
    return [{"name": "%x %s %s" % (m["address"], m["perms"], m["path"]), "kind": mapping_kind(m),
             "pieces": [[m["offset"], m["size"]]]} for m in placed]


def mapping_kind(m):
    p = m["path"]
    if p.endswith("Xvfb_screen0"):
        return "framebuffer"
    if p == "[heap]":
        return "heap"
    if p == "[stack]":
        return "stack"
    if p.startswith("["):
        return "special"
    if p.startswith("/SYSV"):
        return "shm"  # MIT-SHM segments: images that clients hand over
    if not p:
        return "anon"
    if ".so" in os.path.basename(p):
        return "maplib"
    if os.path.basename(p).startswith("Xvfb") or p.endswith("/Xvfb"):
        return "mapexe"
    if "/fonts/" in p:
        return "font"
    if "locale" in p:
        return "locale"
    return "mapfile"


def parse_xwd_header(head):
    header_size, = struct.unpack_from(">I", head, 0)
    width, height = struct.unpack_from(">II", head, 16)
    bpp, bpl = struct.unpack_from(">II", head, 44)
    ncolors, = struct.unpack_from(">I", head, 76)
    return {"header_size": header_size, "width": width, "height": height, "bits_per_pixel": bpp,
            "bytes_per_line": bpl, "colours": ncolors, "pixels": header_size + 12 * ncolors}
