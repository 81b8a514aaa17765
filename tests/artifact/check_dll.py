#!/usr/bin/env python3
"""Checks the built BASS.dll itself: format, exports against the program's imports, imports, size.

Usage: check_dll.py BASS.dll playonce.exe x86|amd64
"""
import fnmatch
import sys

import pefile

# Today about 730 to 750 KiB, nearly all of it the reference decoders linked in. The release
# promises at most 2 MiB; a C++ runtime linked in by mistake (libstdc++, the unwinder) would show
# in the imports, the TLS directory or this size.
MAX_BYTES = 2 * 1024 * 1024
EXPORTS = {'BASS_Init', 'BASS_StreamCreateFile', 'BASS_ChannelGetLength',
           'BASS_ChannelBytes2Seconds', 'BASS_ChannelSetAttribute', 'BASS_ChannelPlay',
           'BASS_ChannelStop'}
# On every Windows from 7 on, msvcrt.dll (the system's own C library, which the decoders call)
# and shlwapi.dll among them. Media Foundation is too, except on the N and KN editions: it is
# loaded at run time, so that the library loads there and fails only the files it would decode.
SYSTEM_DLLS = {'kernel32.dll', 'winmm.dll', 'ole32.dll', 'oleaut32.dll', 'user32.dll',
               'advapi32.dll', 'ntdll.dll', 'msvcrt.dll', 'shlwapi.dll'}
MEDIA_FOUNDATION = {'mfplat.dll', 'mfreadwrite.dll'}
# C and C++ runtimes that ship with no Windows (mingw's own) or with some only (the versioned
# Visual C++ ones, the UCRT before Windows 10).
RUNTIMES = ['libgcc_s_*.dll', 'libstdc++-*.dll', 'libwinpthread-*.dll', 'msvcr[0-9]*.dll',
            'msvcp*.dll', 'ucrtbase*.dll', 'vcruntime*.dll', 'api-ms-win-crt-*.dll']
MACHINES = {'x86': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386'],
            'amd64': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64']}
MAGICS = {'x86': 0x10b, 'amd64': 0x20b}   # PE32, PE32+

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def check_headers(pe, architecture):
    machine, magic = pe.FILE_HEADER.Machine, pe.OPTIONAL_HEADER.Magic
    check(machine == MACHINES[architecture],
          f'machine {machine:#x}, expected {MACHINES[architecture]:#x} ({architecture})')
    check(magic == MAGICS[architecture],
          f'optional header magic {magic:#x}, expected {MAGICS[architecture]:#x}')
    check(pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS['IMAGE_FILE_DLL'],
          f'characteristics {pe.FILE_HEADER.Characteristics:#x} without IMAGE_FILE_DLL')
    check(not hasattr(pe, 'DIRECTORY_ENTRY_TLS'),
          'a TLS directory, expected none: something of a runtime came in')


def code_ranges(pe):
    return [(s.VirtualAddress, s.VirtualAddress + s.Misc_VirtualSize) for s in pe.sections
            if s.Characteristics & pefile.SECTION_CHARACTERISTICS['IMAGE_SCN_MEM_EXECUTE']]


def check_exports(pe, exe):
    symbols = getattr(pe, 'DIRECTORY_ENTRY_EXPORT', None)
    symbols = symbols.symbols if symbols else []
    names = {s.name.decode() for s in symbols if s.name}
    check(names == EXPORTS, f'exports {sorted(names)}, expected {sorted(EXPORTS)}')
    decorated = sorted(n for n in names if '@' in n or n.startswith('_'))
    check(not decorated, f'decorated export names {decorated}, expected them plain')
    unnamed = [s.ordinal for s in symbols if not s.name]
    check(not unnamed, f'exports by ordinal only {unnamed}, expected every export named')
    # Forwarded to another DLL or pointing at data, an export would resolve to nothing callable.
    code = code_ranges(pe)
    at = {s.name.decode(): s.address for s in symbols
          if s.name and not s.forwarder and any(start <= s.address < end for start, end in code)}
    wanted = [(i.name.decode() if i.name else f'#{i.ordinal}')
              for entry in getattr(exe, 'DIRECTORY_ENTRY_IMPORT', [])
              if entry.dll.decode().casefold() == 'bass.dll' for i in entry.imports]
    check(wanted, 'the program imports nothing from BASS.dll, expected its seven calls')
    unresolved = sorted(n for n in wanted if n not in at)
    check(not unresolved, f'program imports {unresolved} not exported as code, '
                          f'expected among {sorted(at)}')


def check_imports(pe):
    for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        dll = entry.dll.decode().casefold()
        runtime = [p for p in RUNTIMES if fnmatch.fnmatchcase(dll, p)]
        if runtime:
            check(False, f'imports from {dll}, a C or C++ runtime ({runtime[0]}), expected none')
        elif dll in MEDIA_FOUNDATION:
            check(False, f'imports from {dll}, expected Media Foundation loaded at run time')
        else:
            check(dll in SYSTEM_DLLS, f'imports from {dll}, expected only {sorted(SYSTEM_DLLS)}')
        # Ordinals of system DLLs change between Windows versions; names do not.
        by_ordinal = [i.ordinal for i in entry.imports if not i.name]
        check(not by_ordinal, f'imports {dll} ordinals {by_ordinal}, expected names')
    delayed = [e.dll.decode() for e in getattr(pe, 'DIRECTORY_ENTRY_DELAY_IMPORT', [])]
    check(not delayed, f'delay-loaded imports from {delayed}, expected none')


def main():
    dll_path, exe_path, architecture = sys.argv[1:4]
    with open(dll_path, 'rb') as dll:
        image = dll.read()
    check(len(image) <= MAX_BYTES, f'{len(image)} bytes, expected at most {MAX_BYTES}')
    pe = pefile.PE(data=image)
    check_headers(pe, architecture)
    check_exports(pe, pefile.PE(exe_path))
    check_imports(pe)
    for failure in failures:
        print(f'{dll_path}: {failure}')
    print(f'{dll_path}: {len(image)} bytes, {"fails" if failures else "passes"}')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
