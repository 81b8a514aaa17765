#!/usr/bin/env python3
"""Checks the built Windows executable itself: format, entry point, imports, resources, size.

Usage: check_exe.py playonce.exe playonce.map x86|amd64 OBJDUMP
"""
import re
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

MAX_BYTES = 16 * 1024
KERNEL32 = {'ExitProcess', 'FindClose', 'FindFirstFileA', 'GetCommandLineA', 'GetDriveTypeA',
            'GetFileAttributesA', 'GetProcessHeap', 'HeapAlloc', 'HeapFree', 'Sleep'}
WINMM = {'timeBeginPeriod', 'timeEndPeriod'}
BASS = {'BASS_Init', 'BASS_StreamCreateFile', 'BASS_ChannelGetLength',
        'BASS_ChannelBytes2Seconds', 'BASS_ChannelSetAttribute', 'BASS_ChannelPlay',
        'BASS_ChannelStop'}
MACHINES = {'x86': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386'],
            'amd64': pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64']}
ASM_V1 = '{urn:schemas-microsoft-com:asm.v1}'
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
WINDOWS_SETTINGS_2019 = '{http://schemas.microsoft.com/SMI/2019/WindowsSettings}'

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def entry_symbol_address(map_path):
    """The address the linker gave RunMain, from its map file (which shows x86 names without
    their leading underscore)."""
    with open(map_path) as map_file:
        for line in map_file:
            fields = line.split()
            if len(fields) == 2 and fields[1] == 'RunMain' and fields[0].startswith('0x'):
                return int(fields[0], 16)
    return None


def check_headers(pe, map_path, architecture):
    check(pe.FILE_HEADER.Machine == MACHINES[architecture],
          f'machine {pe.FILE_HEADER.Machine:#x}, not {architecture}')
    expected_magic = 0x10b if architecture == 'x86' else 0x20b
    check(pe.OPTIONAL_HEADER.Magic == expected_magic, f'optional header magic {pe.OPTIONAL_HEADER.Magic:#x}')
    check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_GUI'],
          f'subsystem {pe.OPTIONAL_HEADER.Subsystem}, not the GUI one')
    entry = pe.OPTIONAL_HEADER.ImageBase + pe.OPTIONAL_HEADER.AddressOfEntryPoint
    run_main = entry_symbol_address(map_path)
    check(run_main is not None and entry == run_main,
          f'entry point {entry:#x} is not RunMain ({run_main and hex(run_main)})')
    check(not hasattr(pe, 'DIRECTORY_ENTRY_TLS'), 'a TLS directory: something of a runtime came in')


def check_float_arithmetic(exe_path, objdump):
    """The wait must be reckoned in 64-bit doubles: on x86 the only x87 instruction allowed is
    the store that takes the audio library's result off the x87 stack."""
    listing = subprocess.run([objdump, '-d', '--no-show-raw-insn', exe_path], check=True,
                             capture_output=True, text=True).stdout
    x87 = re.findall(r'^\s+[0-9a-f]+:\s+(f[a-z0-9]*)\b', listing, re.MULTILINE)
    check(set(x87) <= {'fstpl'}, f'x87 instructions {sorted(set(x87))}')


def check_imports(pe):
    imports = {entry.dll.decode().upper(): {i.name.decode() for i in entry.imports}
               for entry in pe.DIRECTORY_ENTRY_IMPORT}
    expected = {'KERNEL32.DLL': KERNEL32, 'WINMM.DLL': WINMM, 'BASS.DLL': BASS}
    check(imports == expected, f'imports {imports}, expected {expected}')
    bass_names = [entry.dll.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT
                  if entry.dll.decode().upper() == 'BASS.DLL']
    check(bass_names == ['BASS.dll'], f'audio library imported as {bass_names}')
    check(not hasattr(pe, 'DIRECTORY_ENTRY_DELAY_IMPORT'), 'delay-loaded imports')


def resources(pe):
    """{(type, id): data} for every resource of the image."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                rva, size = language.data.struct.OffsetToData, language.data.struct.Size
                found[(kind.id, name.id)] = pe.get_memory_mapped_image()[rva:rva + size]
    return found


def check_icon(found):
    icons = [data for (kind, _), data in found.items() if kind == pefile.RESOURCE_TYPE['RT_ICON']]
    groups = [data for (kind, _), data in found.items()
              if kind == pefile.RESOURCE_TYPE['RT_GROUP_ICON']]
    check(len(icons) == 1 and len(groups) == 1, f'{len(icons)} icons in {len(groups)} groups, not one')
    if len(icons) != 1:
        return
    size, width, height, planes, bits, compression, _, _, _, used, _ = struct.unpack_from(
        '<IiiHHIIiiII', icons[0])
    check((size, width, height, planes) == (40, 32, 64, 1), f'icon bitmap {width}x{height // 2}')
    check(bits == 8 and compression == 0, f'icon of {bits} bits per pixel, compression {compression}')
    check(used in (0, 256), f'icon palette of {used} colours')
    check(len(icons[0]) == 40 + 256 * 4 + 32 * 32 + 32 * 4, f'icon of {len(icons[0])} bytes')


def check_manifest(found, architecture):
    manifests = [data for (kind, ident), data in found.items()
                 if kind == pefile.RESOURCE_TYPE['RT_MANIFEST'] and ident == 1]
    check(len(manifests) == 1, 'no manifest of id 1')
    if not manifests:
        return
    root = ET.fromstring(manifests[0])
    identities = root.findall(f'{ASM_V1}dependency/{ASM_V1}dependentAssembly/{ASM_V1}assemblyIdentity')
    expected = {'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls', 'version': '6.0.0.0',
                'processorArchitecture': architecture, 'publicKeyToken': '6595b64144ccf1df',
                'language': '*'}
    check([identity.attrib for identity in identities] == [expected],
          f'manifest dependencies {[i.attrib for i in identities]}')
    # The process's ANSI code page is UTF-8 (Windows 10 1903 and later, Wine): any file name
    # reaches GetCommandLineA and the library whole. Misplaced, the element is silently ignored.
    code_pages = [element.text for element in root.iter()
                  if element.tag.endswith('activeCodePage')]
    placed = root.findall(f'{ASM_V3}application/{ASM_V3}windowsSettings/'
                          f'{WINDOWS_SETTINGS_2019}activeCodePage')
    check(code_pages == ['UTF-8'] and len(placed) == 1,
          f'active code pages {code_pages}, {len(placed)} in application/windowsSettings '
          'of the 2019 namespace; expected UTF-8 there alone')


def main():
    exe_path, map_path, architecture, objdump = sys.argv[1:5]
    with open(exe_path, 'rb') as exe:
        image = exe.read()
    check(len(image) <= MAX_BYTES, f'{len(image)} bytes, more than {MAX_BYTES}')
    pe = pefile.PE(data=image)
    check_headers(pe, map_path, architecture)
    check_float_arithmetic(exe_path, objdump)
    check_imports(pe)
    found = resources(pe)
    check_icon(found)
    check_manifest(found, architecture)
    for failure in failures:
        print(f'{exe_path}: {failure}')
    print(f'{exe_path}: {len(image)} bytes, {"fails" if failures else "passes"}')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
