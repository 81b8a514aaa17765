# A PE image laid out in a unicorn x86 machine as the loader would, at its preferred base: shared
# by the harnesses of playonce.exe and of BASS.dll.
import struct

from unicorn import UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE
from unicorn.x86_const import UC_X86_REG_FPTAG, UC_X86_REG_MXCSR

PAGE = 0x1000
FNINIT = b'\xDB\xE3'             # x87 empty, extended precision, all masked: harsher than Windows
DEFAULT_MXCSR = 0x1F80
SCN_CODE, SCN_READ, SCN_WRITE = 0x20000000, 0x40000000, 0x80000000


def round_up(n, unit=PAGE):
    return (n + unit - 1) // unit * unit


def ret_code(argument_bytes):
    """The stub's own return: `ret N` pops the arguments as the real callee would."""
    return b'\xC2' + struct.pack('<H', argument_bytes) if argument_bytes else b'\xC3'


def u32(uc, at):
    return struct.unpack('<I', uc.mem_read(at, 4))[0]


def image_imports(pe):
    """(dll, name or None, IAT slot address, ordinal) for every import of the image."""
    found = []
    for descriptor in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        dll = descriptor.dll.decode('ascii')
        for imported in descriptor.imports:
            name = imported.name.decode('ascii') if imported.name else None
            found.append((dll, name, imported.address, imported.ordinal))
    return found


def map_image(uc, pe):
    """Writes headers and sections at the image base, all writable so that the IAT can be bound.
    Returns the code ranges and the (start, length, protection) to apply once bound."""
    base = pe.OPTIONAL_HEADER.ImageBase
    uc.mem_map(base, round_up(pe.OPTIONAL_HEADER.SizeOfImage), UC_PROT_READ | UC_PROT_WRITE)
    uc.mem_write(base, pe.get_data(0, pe.OPTIONAL_HEADER.SizeOfHeaders))
    uc.mem_protect(base, round_up(pe.OPTIONAL_HEADER.SizeOfHeaders), UC_PROT_READ)
    text_ranges, protections = [], []
    for section in pe.sections:
        start = base + section.VirtualAddress
        data = section.get_data()
        if section.Misc_VirtualSize:
            data = data[:section.Misc_VirtualSize]
        uc.mem_write(start, data)
        c = section.Characteristics
        prot = ((UC_PROT_READ if c & SCN_READ else 0) | (UC_PROT_WRITE if c & SCN_WRITE else 0)
                | (UC_PROT_EXEC if c & SCN_CODE else 0))
        if c & SCN_CODE:
            text_ranges.append((start, start + section.Misc_VirtualSize))
        protections.append((start, round_up(max(section.Misc_VirtualSize, section.SizeOfRawData)),
                            prot))
    return text_ranges, protections


def apply_protections(uc, protections):
    for start, length, prot in protections:
        uc.mem_protect(start, length, prot)


def reset_floating_point(uc, scratch):
    """Unicorn starts with an unusable x87 (all registers full, control word 0): runs fninit at
    `scratch`, an executable address, and sets the MXCSR Windows starts with. Returns the tag word
    of an empty x87 stack."""
    uc.mem_write(scratch, FNINIT)
    uc.emu_start(scratch, scratch + len(FNINIT))
    uc.reg_write(UC_X86_REG_MXCSR, DEFAULT_MXCSR)
    return uc.reg_read(UC_X86_REG_FPTAG)
