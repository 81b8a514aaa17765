# The real x86 BASS.dll under emulation plays real files of every format it decodes itself: the
# bytes it hands its device are the Linux build's decoding of the same file, then silence.
#
# Usage: /usr/bin/python3 test_dll_decoding.py PATH/TO/BASS.dll PATH/TO/decode_dump
#        [unittest options]
import os
import struct
import subprocess
import sys
import tempfile
import unittest
from dataclasses import dataclass, field

import numpy as np

sys.dont_write_bytecode = True  # run from the source tree by ctest: leave no cache beside it
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from c_runtime import C_HEAP_BASE, C_HEAP_SIZE, C_RUNTIME_IMPORTS, CRuntime  # noqa: E402
from emulator import SENTINEL  # noqa: E402
from library import (BASE_IMPORTS, CALLEE_SAVED, DATA_BASE, DLL_PROCESS_ATTACH,  # noqa: E402
                     DOUBLE_RESULT, EFLAGS_AT_CALL, POPPED, Library, stdcall)
from native_x87 import NativeX87  # noqa: E402
from unicorn.x86_const import UC_X86_REG_EFLAGS  # noqa: E402

LIBRARY = None          # the DLL under test, from the command line
LINUX_DECODER = None    # the host build's decode_dump: the Linux build's samples

THREAD_STACK_BASE, THREAD_STACK_SIZE = 0x00400000, 0x00100000
PATH = DATA_BASE           # the file's Linux path, which CreateFileA opens as it is
TIMEOUT_US = 60_000_000    # a bound against a run that never ends, far beyond any real run
GENERIC_READ, OPEN_EXISTING, FILE_TYPE_DISK = 0x80000000, 3, 1
INVALID_HANDLE_VALUE = 0xFFFFFFFF
WAIT_OBJECT_0, WAIT_TIMEOUT = 0, 0x102
GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 4
WAVE_MAPPER, CALLBACK_EVENT, WAVE_FORMAT_PCM = 0xFFFFFFFF, 0x50000, 1
WHDR_DONE, WHDR_PREPARED, WHDR_INQUEUE = 1, 2, 0x10
WAVEHDR_SIZE = 32
BASS_ATTRIB_VOL, ONE_POINT_ZERO = 2, 1.0
STREAM_FLAGS = 0x60000     # BASS_STREAM_AUTOFREE | BASS_STREAM_PRESCAN, as the program passes
WINDOWS_X87_CONTROL = 0x27F

# What a playback calls besides the C library: dll -> name -> Stub.
PLAYBACK_IMPORTS = {
    'kernel32.dll': {'CreateFileA': stdcall(28), 'GetFileType': stdcall(4),
                     'GetFileSizeEx': stdcall(8), 'ReadFile': stdcall(20),
                     'CloseHandle': stdcall(4),
                     'CreateEventW': stdcall(16), 'SetEvent': stdcall(4),
                     'WaitForSingleObject': stdcall(8), 'CreateThread': stdcall(24),
                     'GetModuleHandleExW': stdcall(12), 'FreeLibraryAndExitThread': stdcall(8)},
    'ole32.dll': {'CoInitializeEx': stdcall(8), 'CoUninitialize': stdcall(0)},
    'winmm.dll': {'waveOutOpen': stdcall(24), 'waveOutPrepareHeader': stdcall(12),
                  'waveOutWrite': stdcall(12), 'waveOutUnprepareHeader': stdcall(12),
                  'waveOutReset': stdcall(4), 'waveOutClose': stdcall(4)},
}


def merged(*tables):
    imports = {}
    for table in tables:
        for dll, names in table.items():
            imports.setdefault(dll, {}).update(names)
    return imports


@dataclass
class Device:
    """What reached the wave device: its format, and every block's bytes in the order written."""
    rate: int = None
    channels: int = None
    bits: int = None
    format_tag: int = None
    played: bytearray = field(default_factory=bytearray)
    closed: bool = False


class Player(CRuntime, Library):
    """The library over a machine of stubs: files read from the Linux side, a thread that runs
    only when asked, and a wave device that plays each block the moment it is written. The x87
    is as Windows starts every thread: 53-bit precision (the C library's math runs on it)."""

    x87_control = WINDOWS_X87_CONTROL

    def __init__(self, path):
        super().__init__(path, 1, merged(BASE_IMPORTS, PLAYBACK_IMPORTS, C_RUNTIME_IMPORTS),
                         regions=[(C_HEAP_BASE, C_HEAP_SIZE),
                                  (THREAD_STACK_BASE, THREAD_STACK_SIZE)],
                         timeout_us=TIMEOUT_US)
        self.setup_c_runtime()
        self.x87 = NativeX87(self.uc, self.text_ranges, self._fault)
        self.handles = {}           # handle -> (kind, what: a Python file, a thread, ...)
        self.next_handle = 0x104
        self.thread = None          # (start routine, parameter) once CreateThread was called
        self.thread_ended = False
        self.module_references = 0
        self.device = Device()
        self.finished = False

    # --- handles

    def _new_handle(self, kind, what=None):
        handle, self.next_handle = self.next_handle, self.next_handle + 4
        self.handles[handle] = (kind, what)
        return handle

    def _handle(self, handle, kind, call):
        """The handle's (kind, what), or None and a fault if it is no open handle of `kind`."""
        held = self.handles.get(handle)
        if held is None or held[0] != kind:
            self._fault(f'{call}({handle:#x}): not an open {kind} handle')
            return None
        return held

    def _file(self, handle, call):
        held = self._handle(handle, 'file', call)
        return held and held[1]

    def do_CloseHandle(self, handle):
        held = self.handles.pop(handle, None)
        if held is None:
            self._fault(f'CloseHandle({handle:#x}): no open handle')
            return 0
        if held[0] == 'file':
            held[1].close()
        return 1

    # --- files, read on the Linux side at the offsets asked

    def do_CreateFileA(self, name, access, share, security, disposition, flags, template):
        path = self.c_string(name).decode('latin-1')
        if access != GENERIC_READ or disposition != OPEN_EXISTING or template:
            self._fault(f'CreateFileA({path!r}, {access:#x}, disposition {disposition}): '
                        f'not opened for reading only')
            return INVALID_HANDLE_VALUE
        try:
            return self._new_handle('file', open(path, 'rb'))
        except OSError:
            return INVALID_HANDLE_VALUE

    def do_GetFileType(self, handle):
        return FILE_TYPE_DISK if self._handle(handle, 'file', 'GetFileType') else 0

    def do_GetFileSizeEx(self, handle, size):
        file = self._file(handle, 'GetFileSizeEx')
        if file is None:
            return 0
        self.uc.mem_write(size, struct.pack('<Q', os.fstat(file.fileno()).st_size))
        return 1

    def do_ReadFile(self, handle, buffer, count, got, overlapped):
        file = self._file(handle, 'ReadFile')
        if file is None:
            return 0
        if overlapped == 0:
            self._fault('ReadFile without an OVERLAPPED: it would read at the shared file pointer')
            return 0
        low, high = struct.unpack('<II', self.uc.mem_read(overlapped + 8, 8))
        file.seek(high << 32 | low)
        data = file.read(count)
        self.uc.mem_write(buffer, data)
        if got:
            self.uc.mem_write(got, struct.pack('<I', len(data)))
        # At the end a read at an offset fails (ERROR_HANDLE_EOF) rather than reading nothing.
        return 1 if data or count == 0 else 0

    # --- events and the playback thread, which never block: the test runs the thread itself

    def do_CreateEventW(self, security, manual_reset, initial_state, name):
        return self._new_handle('event')

    def do_SetEvent(self, handle):
        self._handle(handle, 'event', 'SetEvent')
        return 1

    def do_WaitForSingleObject(self, handle, milliseconds):
        kind = self.handles.get(handle, (None,))[0]
        if kind == 'event':
            return WAIT_OBJECT_0
        if kind == 'thread':
            return WAIT_OBJECT_0 if self.thread_ended else WAIT_TIMEOUT
        self._fault(f'WaitForSingleObject({handle:#x}): no event or thread handle')
        return 0xFFFFFFFF

    def do_CreateThread(self, security, stack, start, parameter, flags, thread_id):
        if self.thread is not None or flags or not self.in_image_code(start):
            self._fault(f'CreateThread(start {start:#x}, flags {flags:#x}): a second thread, '
                        f'a suspended one, or a start outside the image code')
            return 0
        self.thread = (start, parameter)
        if thread_id:
            self.uc.mem_write(thread_id, struct.pack('<I', 0x1F0))
        return self._new_handle('thread')

    def do_GetModuleHandleExW(self, flags, address, module):
        if flags != GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS or not self.in_image_code(address):
            self._fault(f'GetModuleHandleExW({flags:#x}, {address:#x}): not the image by address')
            return 0
        self.module_references += 1
        self.uc.mem_write(module, struct.pack('<I', self.base))
        return 1

    def do_FreeLibraryAndExitThread(self, module, code):
        if module != self.base or self.module_references == 0:
            self._fault(f'FreeLibraryAndExitThread({module:#x}): not a reference to the image '
                        f'that was taken')
        self.module_references -= 1
        self.thread_ended = True
        self.finished = True
        self.uc.emu_stop()

    def do_CoInitializeEx(self, reserved, flags):
        return 0

    def do_CoUninitialize(self):
        return None

    # --- the wave device: every block written is played at once and handed back done

    def do_waveOutOpen(self, device_out, device_id, wave_format, callback, instance, flags):
        tag, channels, rate, per_second, align, bits = struct.unpack(
            '<HHIIHH', self.uc.mem_read(wave_format, 16))
        self.device = Device(rate, channels, bits, tag)
        event = self.handles.get(callback, (None,))[0] == 'event'
        if device_id != WAVE_MAPPER or flags != CALLBACK_EVENT or not event:
            self._fault(f'waveOutOpen(device {device_id:#x}, callback {callback:#x}, flags '
                        f'{flags:#x}): not the wave mapper with an event')
            return 1
        if align != channels * bits // 8 or per_second != rate * align:
            self._fault(f'waveOutOpen: block align {align}, {per_second} bytes a second for '
                        f'{channels} channels of {bits} bits at {rate} Hz')
            return 1
        self.uc.mem_write(device_out, struct.pack('<I', self._new_handle('device')))
        return 0

    def _header(self, handle, header, size, call):
        if self._handle(handle, 'device', call) is None:
            return None
        if size != WAVEHDR_SIZE:
            self._fault(f'{call}: header size {size}, not {WAVEHDR_SIZE}')
            return None
        data, length, _, _, flags = struct.unpack('<IIIII', self.uc.mem_read(header, 20))
        return data, length, flags

    def _set_flags(self, header, flags):
        self.uc.mem_write(header + 16, struct.pack('<I', flags))

    def do_waveOutPrepareHeader(self, handle, header, size):
        fields = self._header(handle, header, size, 'waveOutPrepareHeader')
        if fields:
            self._set_flags(header, fields[2] | WHDR_PREPARED)
        return 0

    def do_waveOutWrite(self, handle, header, size):
        fields = self._header(handle, header, size, 'waveOutWrite')
        if fields is None:
            return 1
        data, length, flags = fields
        if not flags & WHDR_PREPARED or flags & WHDR_INQUEUE:
            self._fault(f'waveOutWrite of a header with flags {flags:#x}: unprepared or queued')
            return 1
        self.device.played += self.uc.mem_read(data, length)
        self._set_flags(header, (flags & ~WHDR_INQUEUE) | WHDR_DONE)
        return 0

    def do_waveOutUnprepareHeader(self, handle, header, size):
        fields = self._header(handle, header, size, 'waveOutUnprepareHeader')
        if fields:
            self._set_flags(header, fields[2] & ~WHDR_PREPARED)
        return 0

    def do_waveOutReset(self, handle):
        self._handle(handle, 'device', 'waveOutReset')
        return 0

    def do_waveOutClose(self, handle):
        if self._handle(handle, 'device', 'waveOutClose') is not None:
            del self.handles[handle]
            self.device.closed = True
        return 0

    # --- running

    def run(self, start, esp, until):
        # A run that ends the thread stops at FreeLibraryAndExitThread, on purpose.
        self.finished = False
        stopped = super().run(start, esp, until)
        return self.faults if self.finished else stopped

    def run_thread(self):
        """Runs the playback thread from its start routine to its end; returns what went wrong."""
        if self.thread is None:
            return ['no playback thread was started']
        start, parameter = self.thread
        self.reset_floating_point()
        esp = THREAD_STACK_BASE + THREAD_STACK_SIZE - 0x1000 + 8
        self.uc.mem_write(esp, struct.pack('<II', SENTINEL, parameter))
        self.uc.reg_write(UC_X86_REG_EFLAGS, EFLAGS_AT_CALL)
        for reg, value in CALLEE_SAVED.values():
            self.uc.reg_write(reg, value)
        problems = self.run(start, esp, SENTINEL)
        if not problems and not self.thread_ended:
            problems = ['the thread returned instead of ending through FreeLibraryAndExitThread']
        return problems


# --- the files -------------------------------------------------------------------------------

def ffmpeg(*options):
    """An ffmpeg maker: a second of two tones and some noise per channel, encoded by `options`."""
    def make(path, rate, channels):
        tones = ['0.45*sin(2*PI*440*t)+0.45*sin(2*PI*3520*t*t)+0.1*(random(0)-0.5)',
                 '0.5*sin(2*PI*554.37*t+1)+0.4*sin(2*PI*7040*t)+0.1*(random(1)-0.5)']
        source = f"aevalsrc='{'|'.join(tones[:channels])}':s={rate}:d=1.05"
        subprocess.run(['ffmpeg', '-loglevel', 'error', '-nostdin', '-y', '-f', 'lavfi',
                        '-i', source, *options, path], check=True, timeout=60)
    return make


def soundfile(container, subtype, peak=1.0):
    """A soundfile maker: a rising tone at `peak` (above 1.0 clips in the conversion to 16 bits)."""
    def make(path, rate, channels):
        import soundfile as sf
        t = np.arange(int(rate * 1.05)) / rate
        tone = peak * np.sin(2 * np.pi * (220 + 900 * t) * t)
        frames = np.stack([tone * (0.8 + 0.2 * c) for c in range(channels)], axis=1)
        sf.write(path, frames, rate, format=container, subtype=subtype)
    return make


def existing(path):
    def make(_path, _rate, _channels):
        return path
    return make


SYSTEM_SOUND = '/usr/share/sounds/freedesktop/stereo/complete.oga'

# (name, file name, rate, channels, maker)
FILES = [
    ('WAV 16-bit 44.1 kHz stereo', 'pcm16.wav', 44100, 2, ffmpeg('-c:a', 'pcm_s16le')),
    ('WAV float', 'float.wav', 44100, 2, soundfile('WAV', 'FLOAT', peak=1.2)),
    ('AIFF 16-bit', 'pcm16.aiff', 44100, 2, ffmpeg('-c:a', 'pcm_s16be')),
    ('AIFF-C float', 'float.aifc', 48000, 2, soundfile('AIFF', 'FLOAT', peak=1.2)),
    ('FLAC 16-bit', 'pcm16.flac', 44100, 2, soundfile('FLAC', 'PCM_16')),
    ('FLAC 24-bit', 'pcm24.flac', 96000, 2, soundfile('FLAC', 'PCM_24')),
    ('Ogg Vorbis 44.1 kHz stereo', 'stereo.ogg', 44100, 2, ffmpeg('-c:a', 'libvorbis')),
    ('Ogg Vorbis mono', 'mono.ogg', 32000, 1, ffmpeg('-c:a', 'libvorbis')),
    ('Opus 48 kHz stereo', 'stereo.opus', 48000, 2, ffmpeg('-c:a', 'libopus')),
    ('Opus mono', 'mono.opus', 48000, 1, ffmpeg('-c:a', 'libopus')),
    ('MP3 44.1 kHz stereo with a LAME tag', 'lame.mp3', 44100, 2, ffmpeg('-c:a', 'libmp3lame')),
    ('MP3 without a tag', 'untagged.mp3', 44100, 2,
     ffmpeg('-c:a', 'libmp3lame', '-write_xing', '0')),
    ('MP3 MPEG-2 22.05 kHz mono', 'mpeg2.mp3', 22050, 1, ffmpeg('-c:a', 'libmp3lame')),
    ('MP2 48 kHz stereo', 'layer2.mp2', 48000, 2, ffmpeg('-c:a', 'mp2')),
    ('a system sound (sound-theme-freedesktop)', SYSTEM_SOUND, None, None, existing(SYSTEM_SOUND)),
]


@dataclass
class Reference:
    rate: int
    channels: int
    frames: int
    samples: bytes


def linux_decoding(path, folder):
    """The Linux build's library's frames of `path` (decode_dump)."""
    raw = os.path.join(folder, os.path.basename(path) + '.raw')
    done = subprocess.run([LINUX_DECODER, path, raw], capture_output=True, text=True, timeout=60)
    if done.returncode != 0:
        raise AssertionError(f'{path}: the Linux build does not decode it ({done.returncode}): '
                             f'{done.stderr.strip()}')
    fields = dict(item.split('=') for item in done.stdout.split())
    with open(raw, 'rb') as dump:
        samples = dump.read()
    return Reference(int(fields['rate']), int(fields['channels']), int(fields['frames']), samples)


# --- one playback, as playonce makes it ---------------------------------------------------------

@dataclass
class Playback:
    problems: list                  # the calls' own faults and convention slips
    stream: int = 0
    length: int = None
    seconds: float = None
    stopped: int = None
    device: Device = None


def call(player, playback, name, args):
    """One export; its convention slips and faults go to `playback.problems`."""
    got = player.call(name, args)
    where = name + '(' + ', '.join(hex(a) if isinstance(a, int) else repr(a) for a in args) + ')'
    if got.popped is None:
        playback.problems.append(f'{where} never came back: ' + '; '.join(got.problems))
        return None
    if got.popped != POPPED[name]:
        got.problems.append(f'popped {got.popped} argument bytes, not {POPPED[name]}')
    depth = 1 if name in DOUBLE_RESULT else 0
    if got.x87_depth != depth:
        got.problems.append(f'{got.x87_depth} values left on the x87 stack, not {depth}')
    playback.problems += [f'{where}: {problem}' for problem in got.problems]
    return got.result


def play(path):
    """Makes a stream of `path`, plays it to the end on the stub device and stops it."""
    player = Player(LIBRARY)
    player.uc.mem_write(PATH, path.encode() + b'\0')
    playback = Playback([])
    steps = [('DllEntry', (player.base, DLL_PROCESS_ATTACH, 0)),
             ('BASS_Init', (1, 44100, 0x800, 0, 0)),
             ('BASS_StreamCreateFile', (0, PATH, 0, 0, STREAM_FLAGS))]
    for name, args in steps:
        result = call(player, playback, name, args)
        if result is None or result == 0:
            playback.problems.append(f'{name} answered {result}')
            return playback
    playback.stream = stream = result
    playback.length = call(player, playback, 'BASS_ChannelGetLength', (stream, 0))
    playback.seconds = call(player, playback, 'BASS_ChannelBytes2Seconds',
                            (stream, playback.length))
    call(player, playback, 'BASS_ChannelSetAttribute', (stream, BASS_ATTRIB_VOL, ONE_POINT_ZERO))
    if call(player, playback, 'BASS_ChannelPlay', (stream, 0)) != 1:
        playback.problems.append('BASS_ChannelPlay failed')
        return playback
    playback.problems += [f'playback thread: {p}' for p in player.run_thread()]
    playback.stopped = call(player, playback, 'BASS_ChannelStop', (stream,))
    playback.device = player.device
    # The stream frees itself at Stop (BASS_STREAM_AUTOFREE): nothing of it may be left.
    if player.handles:
        kinds = sorted(kind for kind, _ in player.handles.values())
        playback.problems.append(f'handles left open after Stop: {kinds}')
    if player.c_blocks or player.heap_blocks:
        playback.problems.append(f'{len(player.c_blocks)} C heap blocks and '
                                 f'{len(player.heap_blocks)} process heap blocks left after Stop')
    if player.module_references:
        playback.problems.append(f'{player.module_references} references to the library still '
                                 f'held after Stop: it could never be unloaded')
    return playback


# --- the comparison -----------------------------------------------------------------------------

def sample_differences(got, expected, channels):
    """How the first len(expected) bytes of `got` differ from `expected`, in words; None if not."""
    if got[:len(expected)] == expected:
        return None
    frames = len(expected) // (2 * channels)
    mine = np.frombuffer(got[:len(expected)], '<i2').reshape(frames, channels).astype(np.int32)
    theirs = np.frombuffer(expected, '<i2').reshape(frames, channels).astype(np.int32)
    wrong = np.nonzero((mine != theirs).any(axis=1))[0]
    first = int(wrong[0])
    return (f'{len(wrong)} of {frames} frames differ; the first, frame {first}: got '
            f'{mine[first].tolist()}, expected {theirs[first].tolist()}; largest difference '
            f'{int(np.abs(mine - theirs).max())}')


def playback_problems(playback, reference):
    """What is wrong with a playback of a file the Linux build decodes as `reference`."""
    problems = list(playback.problems)
    if playback.stream == 0:
        return problems
    frame_bytes = 2 * reference.channels
    expected_length = reference.frames * frame_bytes
    if playback.length != expected_length:
        problems.append(f'length {playback.length} bytes, expected {expected_length} '
                        f'({reference.frames} frames of {frame_bytes} bytes)')
    seconds = expected_length / (reference.rate * frame_bytes)
    if playback.seconds != seconds:
        problems.append(f'{playback.seconds!r} seconds, expected {seconds!r}')
    if playback.stopped != 1:
        problems.append(f'BASS_ChannelStop answered {playback.stopped}, expected 1')
    device = playback.device
    if device is None:
        return problems
    opened = (device.rate, device.channels, device.bits, device.format_tag)
    if opened != (reference.rate, reference.channels, 16, WAVE_FORMAT_PCM):
        problems.append(f'device opened at {opened} (rate, channels, bits, tag), expected '
                        f'{(reference.rate, reference.channels, 16, WAVE_FORMAT_PCM)}')
        return problems
    if not device.closed:
        problems.append('device never closed')
    played = bytes(device.played)
    if len(played) < len(reference.samples):
        problems.append(f'the device played {len(played)} bytes, fewer than the file\'s '
                        f'{len(reference.samples)}')
        return problems
    differences = sample_differences(played, reference.samples, reference.channels)
    if differences:
        problems.append(differences)
    tail = played[len(reference.samples):]
    if not tail or len(tail) % frame_bytes or tail.count(0) != len(tail):
        nonzero = next((i for i, b in enumerate(tail) if b), None)
        problems.append(f'after the file\'s frames: {len(tail)} bytes, expected whole frames of '
                        f'silence, at least one' + (f' (byte {nonzero} of them is not zero)'
                                                    if nonzero is not None else ''))
    return problems


class Decoding(unittest.TestCase):
    def test_each_format_plays_the_linux_samples(self):
        with tempfile.TemporaryDirectory(prefix='playonce-decoding-') as folder:
            for name, file_name, rate, channels, make in FILES:
                with self.subTest(file=name):
                    path = os.path.join(folder, file_name)
                    path = make(path, rate, channels) or path
                    if not os.path.isfile(path):
                        self.skipTest(f'{path} is not installed')
                    reference = linux_decoding(path, folder)
                    problems = playback_problems(play(path), reference)
                    if problems:
                        self.fail(f'{name} ({path}: {reference.frames} frames, '
                                  f'{reference.rate} Hz, {reference.channels} channels):\n  '
                                  + '\n  '.join(problems))


if __name__ == '__main__':
    if len(sys.argv) < 3 or not os.path.isfile(sys.argv[1]):
        sys.exit('usage: test_dll_decoding.py PATH/TO/BASS.dll PATH/TO/decode_dump '
                 '[unittest options]')
    if not os.access(sys.argv[2], os.X_OK):
        sys.exit(f'{sys.argv[2]} is missing: build the host preset first '
                 f'(cmake --preset host && cmake --build --preset host)')
    LIBRARY = sys.argv.pop(1)
    LINUX_DECODER = sys.argv.pop(1)
    unittest.main()
