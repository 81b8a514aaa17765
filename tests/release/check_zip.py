#!/usr/bin/env python3
"""Checks the release zip: exactly playonce.exe, BASS.dll, README.md and LICENSE at its top level
and the decoders' licence texts in licences/, the executable and library byte for byte the built
ones, both for x86, the library exporting every call the executable imports from it, the texts
the repository's and the decoders' own, and nothing in it that differs from one packing to the
next (times of its own per file, extra fields).

Usage: check_zip.py --cpack CPACK --config CPackConfig.cmake --scratch DIR --name ZIP_NAME REFS
       check_zip.py --zip ZIP REFS
REFS:  --exe playonce.exe --dll BASS.dll --readme README.md --license LICENSE
       --licences LICENCE_TEXT...

The first form packs the build with cpack into DIR and checks what it made. Once a zip passes,
the same checks run over copies of it with one fault each, and every copy must be rejected.
"""
import argparse
import hashlib
import io
import os
import shutil
import subprocess
import sys
import zipfile

import pefile

I386 = pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386']
AMD64 = pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64']
EXE = 'playonce.exe'
DLL = 'BASS.dll'


def describe(data):
    return f'{len(data)} bytes with SHA-256 {hashlib.sha256(data).hexdigest()[:16]}'


def parse_pe(entry, data, problems):
    try:
        return pefile.PE(data=data, fast_load=False)
    except pefile.PEFormatError as error:
        problems.append(f'{entry}: not a PE image ({error}), expected one')
        return None


def imported_calls(exe, problems):
    """The names the executable imports from BASS.dll."""
    names = set()
    libraries = []
    for library in getattr(exe, 'DIRECTORY_ENTRY_IMPORT', []):
        libraries.append(library.dll.decode())
        if library.dll.decode().upper() != DLL.upper():
            continue
        for call in library.imports:
            if call.name is None:
                problems.append(f'{EXE} imports ordinal {call.ordinal} from {DLL}, expected names')
            else:
                names.add(call.name.decode())
    if not names:
        problems.append(f'{EXE} imports nothing by name from {DLL} (it imports from '
                        f'{libraries}), expected the BASS_* calls')
    return names


def exported_calls(dll):
    if not hasattr(dll, 'DIRECTORY_ENTRY_EXPORT'):
        return set()
    return {symbol.name.decode() for symbol in dll.DIRECTORY_ENTRY_EXPORT.symbols if symbol.name}


def zip_problems(zip_bytes, references):
    """Every way the zip differs from the release; references maps each entry to its source file."""
    problems = []
    try:
        archive = zipfile.ZipFile(io.BytesIO(zip_bytes))
        names = archive.namelist()
        contents = {name: archive.read(name) for name in names}
    except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError) as error:
        return [f'not a readable zip ({error}), expected one']
    # A folder of the release may come as an entry of its own, as unzip tools expect.
    folders = {name[:name.rindex('/') + 1] for name in references if '/' in name}
    files = [name for name in names if name not in folders]
    if sorted(files) != sorted(references):
        problems.append(f'entries {sorted(files)}, expected exactly {sorted(references)}')
    # What a rebuild or another packager changes must not reach the zip: one time for all, and no
    # extra fields (where zip tools keep further times and the owner).
    times = sorted({info.date_time for info in archive.infolist()})
    if len(times) > 1:
        problems.append(f'entry times {times}, expected one for every entry')
    for info in archive.infolist():
        if info.extra:
            problems.append(f'{info.filename}: extra field {info.extra.hex()}, expected none')

    for entry, path in references.items():
        if entry not in contents:
            continue
        with open(path, 'rb') as reference:
            expected = reference.read()
        if contents[entry] != expected:
            problems.append(f'{entry}: {describe(contents[entry])}, expected {path}: '
                            f'{describe(expected)}')

    images = {entry: parse_pe(entry, contents[entry], problems)
              for entry in (EXE, DLL) if entry in contents}
    for entry, image in images.items():
        if image is not None and image.FILE_HEADER.Machine != I386:
            problems.append(f'{entry}: machine {image.FILE_HEADER.Machine:#x}, '
                            f'expected {I386:#x} (i386)')
    if images.get(EXE) is not None and images.get(DLL) is not None:
        imported = imported_calls(images[EXE], problems)
        exported = exported_calls(images[DLL])
        missing = sorted(name for name in imported if name.startswith('BASS_')
                         and name not in exported)
        if missing:
            problems.append(f'{DLL} exports {sorted(exported)}, which lacks {missing} that '
                            f'{EXE} imports from it; expected all of {sorted(imported)}')
    return problems


def rezip(entries, alter=lambda info: None):
    """A zip of (name, bytes) pairs, each entry's header first passed to alter."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, (2026, 12, 9, 0, 0, 0))
            alter(info)
            archive.writestr(info, data, zipfile.ZIP_DEFLATED)
    return buffer.getvalue()


def replace_once(data, old, new):
    if data.count(old) != 1:
        raise ValueError(f'{old!r} occurs {data.count(old)} times, expected once')
    return data.replace(old, new)


def set_machine(image, machine):
    header = int.from_bytes(image[0x3c:0x40], 'little') + 4
    return image[:header] + machine.to_bytes(2, 'little') + image[header + 2:]


def first_import(exe_bytes):
    return sorted(imported_calls(pefile.PE(data=exe_bytes), []))[0]


def faulty_copies(good):
    """(fault, a zip with that fault, text one of its problems must hold)."""
    entries = list(good.items())
    call = first_import(good[EXE])

    def changed(entry, change):
        return rezip([(name, change(data) if name == entry else data) for name, data in entries])

    def stamped(entry, alter):
        return rezip(entries, lambda info: alter(info) if info.filename == entry else None)

    def build_time(info):
        info.date_time = (2026, 12, 9, 4, 59, 10)

    def owner_field(info):
        info.extra = bytes.fromhex('7578 0b00 01 04 e8030000 04 e8030000')

    return [
        ('LICENSE missing', rezip([e for e in entries if e[0] != 'LICENSE']), 'entries '),
        ("mpg123's licence missing",
         rezip([e for e in entries if e[0] != 'licences/mpg123-COPYING.txt']), 'entries '),
        ("the decoders' versions missing",
         rezip([e for e in entries if e[0] != 'licences/debian-source-versions.txt']), 'entries '),
        ('a test helper added', rezip(entries + [('exact_launcher.exe', good[EXE])]), 'entries '),
        ('everything under a folder',
         rezip([('playonce-win32/' + name, data) for name, data in entries]), 'entries '),
        ('playonce.exe changed', changed(EXE, lambda d: d[:-1] + bytes([d[-1] ^ 1])), f'{EXE}: '),
        ('README.md changed', changed('README.md', lambda d: d + b'\n'), 'README.md: '),
        ('LICENSE changed', changed('LICENSE', lambda d: d.replace(b'2026', b'2025')), 'LICENSE: '),
        (f'BASS.dll without {call}',
         changed(DLL, lambda d: replace_once(d, call.encode() + b'\0', call[:-1].encode() + b'_\0')),
         f'lacks [{call!r}]'),
        ('BASS.dll for x86-64', changed(DLL, lambda d: set_machine(d, AMD64)),
         f'{DLL}: machine {AMD64:#x}'),
        ('playonce.exe importing no BASS.dll',
         changed(EXE, lambda d: replace_once(d, b'BASS.dll\0', b'BASX.dll\0')),
         f'{EXE} imports nothing by name from {DLL}'),
        ('playonce.exe stamped with its build time', stamped(EXE, build_time), 'entry times '),
        ("LICENSE's owner recorded", stamped('LICENSE', owner_field), 'LICENSE: extra field '),
        ('its end cut off', rezip(entries)[:-30], 'not a readable zip'),
    ]


def pack(cpack, config, scratch, name, failures):
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    run = subprocess.run([cpack, '--config', config, '-B', scratch], capture_output=True,
                         text=True)
    if run.returncode != 0:
        failures.append(f'cpack exited with {run.returncode}, expected 0:\n{run.stdout}{run.stderr}')
        return None
    made = sorted(f for f in os.listdir(scratch) if os.path.isfile(os.path.join(scratch, f)))
    if made != [name]:
        failures.append(f'cpack made {made}, expected [{name!r}]')
        return None
    return os.path.join(scratch, name)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--zip')
    parser.add_argument('--cpack')
    parser.add_argument('--config')
    parser.add_argument('--scratch')
    parser.add_argument('--name')
    parser.add_argument('--exe', required=True)
    parser.add_argument('--dll', required=True)
    parser.add_argument('--readme', required=True)
    parser.add_argument('--license', required=True)
    parser.add_argument('--licences', nargs='+', required=True,
                        help="the decoders' licence texts, expected in licences/")
    args = parser.parse_args()
    if not args.zip and None in (args.cpack, args.config, args.scratch, args.name):
        parser.error('give --zip, or --cpack, --config, --scratch and --name')
    references = {EXE: args.exe, DLL: args.dll, 'README.md': args.readme, 'LICENSE': args.license}
    references.update({f'licences/{os.path.basename(path)}': path for path in args.licences})

    failures = []
    path = args.zip or pack(args.cpack, args.config, args.scratch, args.name, failures)
    if path is not None:
        with open(path, 'rb') as release:
            zip_bytes = release.read()
        failures += zip_problems(zip_bytes, references)
        if not failures:
            with zipfile.ZipFile(io.BytesIO(zip_bytes)) as archive:
                good = {name: archive.read(name) for name in archive.namelist()}
            for fault, faulty, sign in faulty_copies(good):
                found = zip_problems(faulty, references)
                if not any(sign in problem for problem in found):
                    failures.append(f'a zip with {fault}: problems {found}, expected one '
                                    f'holding {sign!r}')
            print(f'{path}: {len(zip_bytes)} bytes, entries {sorted(good)}')

    for failure in failures:
        print(f'FAIL: {failure}')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
