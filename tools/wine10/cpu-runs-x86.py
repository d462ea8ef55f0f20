#!/usr/bin/env python3
"""Exit code 0 when this machine runs 32-bit x86 code, 1 when it does not.

A child process executes the 32-bit system call gate (int $0x80, getpid)
from a page of machine code: where the machine refuses 32-bit code, the
child dies of SIGSEGV. Cheap enough for every make deps.
"""
import subprocess
import sys

CHILD = r"""
import ctypes, mmap, os
code = bytes([0xb8, 20, 0, 0, 0, 0xcd, 0x80, 0xc3])  # mov eax, 20 (getpid); int $0x80; ret
page = mmap.mmap(-1, mmap.PAGESIZE, prot=mmap.PROT_READ | mmap.PROT_WRITE | mmap.PROT_EXEC)
page.write(code)
address = ctypes.addressof(ctypes.c_char.from_buffer(page))
pid = ctypes.CFUNCTYPE(ctypes.c_long)(address)()
raise SystemExit(0 if (pid & 0xffffffff) == os.getpid() else 1)
"""

if __name__ == "__main__":
    result = subprocess.run([sys.executable, "-c", CHILD], stderr=subprocess.DEVNULL)
    sys.exit(0 if result.returncode == 0 else 1)
