# The real x86 BASS.dll under emulation plays real files of every format it decodes itself: the
# bytes it hands its device are the Linux build's decoding of the same file, then silence; and
# over a winmm that hangs or stalls, every wait for it keeps to its bound.
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
from library import (BASE_IMPORTS, DATA_BASE, DEVICE_ANSWER_MS, DLL_PROCESS_ATTACH,  # noqa: E402
                     DOUBLE_RESULT, POPPED, Hang, Library, Winmm, stdcall)
from native_x87 import NativeX87  # noqa: E402

LIBRARY = None          # the DLL under test, from the command line
LINUX_DECODER = None    # the host build's decode_dump: the Linux build's samples

PATH = DATA_BASE           # the file's Linux path, which CreateFileA opens as it is
TIMEOUT_US = 60_000_000    # a bound against a run that never ends, far beyond any real run
GENERIC_READ, OPEN_EXISTING, FILE_TYPE_DISK = 0x80000000, 3, 1
INVALID_HANDLE_VALUE = 0xFFFFFFFF
WAVE_MAPPER, CALLBACK_EVENT, WAVE_FORMAT_PCM = 0xFFFFFFFF, 0x50000, 1
WHDR_DONE, WHDR_PREPARED, WHDR_INQUEUE = 1, 2, 0x10
WAVEHDR_SIZE = 32
BASS_ATTRIB_VOL, ONE_POINT_ZERO = 2, 1.0
STREAM_FLAGS = 0x60000     # BASS_STREAM_AUTOFREE | BASS_STREAM_PRESCAN, as the program passes
WINDOWS_X87_CONTROL = 0x27F

# What a playback calls besides the C library: dll -> name -> Stub.
PLAYBACK_IMPORTS = {
    'kernel32.dll': {'CreateFileA': stdcall(28), 'GetFileType': stdcall(4),
                     'GetFileSizeEx': stdcall(8), 'ReadFile': stdcall(20)},
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
    """The wave device: its format, the bytes of every block it played, in order, and what it
    holds. It plays its blocks one after another in simulated time, each for its length, and
    signals its event as each is done, as winmm does with CALLBACK_EVENT."""
    rate: int = None
    channels: int = None
    bits: int = None
    format_tag: int = None
    event: object = None
    played: bytearray = field(default_factory=bytearray)
    prepared: dict = field(default_factory=dict)    # header -> (data, length)
    queued: dict = field(default_factory=dict)      # header -> its turn, until done
    busy_until: float = 0.0     # when the last block queued will have played
    turns: int = 0              # blocks it has taken on to play
    last_done_ms: float = None
    closed: bool = False


class Player(CRuntime, Library):
    """The library over a machine of stubs: files read from the Linux side, and a wave device
    that plays in simulated time, as `winmm` (a Winmm) says. The x87 is as Windows starts every
    thread: 53-bit precision (the C library's math runs on it)."""

    x87_control = WINDOWS_X87_CONTROL

    def __init__(self, path, winmm):
        super().__init__(path, winmm, merged(BASE_IMPORTS, PLAYBACK_IMPORTS, C_RUNTIME_IMPORTS),
                         regions=[(C_HEAP_BASE, C_HEAP_SIZE)], timeout_us=TIMEOUT_US)
        self.setup_c_runtime()
        self.x87 = NativeX87(self.uc, self.text_ranges, self._fault)
        self.device = Device()

    def do_CloseHandle(self, handle):
        kind, what = self.handles.get(handle, (None, None))
        if kind == 'file':
            what.close()
        return super().do_CloseHandle(handle)

    def do_HeapFree(self, heap, flags, block):
        # Memory winmm still holds a block of is not the library's to free.
        end = block + self.heap_blocks.get(block, 0)
        if any(block <= header < end or block < data + length and data < end
               for header, (data, length) in self.device.prepared.items()):
            self._fault(f'HeapFree({block:#x}) of memory holding a block still prepared on the '
                        f'wave device')
            return 0
        return super().do_HeapFree(heap, flags, block)

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
        file = self._handle(handle, 'file', 'GetFileSizeEx')
        if file is None:
            return 0
        self.uc.mem_write(size, struct.pack('<Q', os.fstat(file.fileno()).st_size))
        return 1

    def do_ReadFile(self, handle, buffer, count, got, overlapped):
        file = self._handle(handle, 'file', 'ReadFile')
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

    def do_CoInitializeEx(self, reserved, flags):
        return 0

    def do_CoUninitialize(self):
        return None

    # --- the wave device

    def do_waveOutOpen(self, device_out, device_id, wave_format, callback, instance, flags):
        tag, channels, rate, per_second, align, bits = struct.unpack(
            '<HHIIHH', self.uc.mem_read(wave_format, 16))
        kind, event = self.handles.get(callback, (None, None))
        if device_id != WAVE_MAPPER or flags != CALLBACK_EVENT or kind != 'event':
            self._fault(f'waveOutOpen(device {device_id:#x}, callback {callback:#x}, flags '
                        f'{flags:#x}): not the wave mapper with an event')
            return 1
        if align != channels * bits // 8 or per_second != rate * align:
            self._fault(f'waveOutOpen: block align {align}, {per_second} bytes a second for '
                        f'{channels} channels of {bits} bits at {rate} Hz')
            return 1
        self.device = Device(rate, channels, bits, tag, event, busy_until=self.clock)
        self.uc.mem_write(device_out, struct.pack('<I', self._new_handle('device', self.device)))
        self.signal(event)      # WOM_OPEN
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
            self.device.prepared[header] = fields[:2]
        return 0

    def do_waveOutWrite(self, handle, header, size):
        fields = self._header(handle, header, size, 'waveOutWrite')
        if fields is None:
            return 1
        data, length, flags = fields
        if not flags & WHDR_PREPARED or flags & WHDR_INQUEUE:
            self._fault(f'waveOutWrite of a header with flags {flags:#x}: unprepared or queued')
            return 1
        device = self.device
        self._set_flags(header, (flags | WHDR_INQUEUE) & ~WHDR_DONE)
        device.turns += 1
        device.queued[header] = device.turns
        if self.winmm.finishes is None or device.turns <= self.winmm.finishes:
            ms = 1000 * length / (device.rate * device.channels * device.bits // 8)
            device.busy_until = max(self.clock, device.busy_until) + ms
            self.at(device.busy_until, lambda turn=device.turns: self._block_done(header, turn))
        return 0

    def _block_done(self, header, turn):
        device = self.device
        if device.queued.get(header) != turn:
            return      # reset before its time
        del device.queued[header]
        data, length, _, _, flags = struct.unpack('<IIIII', self.uc.mem_read(header, 20))
        # Read as it plays: a block the library rewrote while queued shows.
        device.played += self.uc.mem_read(data, length)
        self._set_flags(header, (flags & ~WHDR_INQUEUE) | WHDR_DONE)
        device.last_done_ms = self.clock
        self.signal(device.event)

    def do_waveOutUnprepareHeader(self, handle, header, size):
        fields = self._header(handle, header, size, 'waveOutUnprepareHeader')
        if fields and header in self.device.queued:
            self._fault('waveOutUnprepareHeader of a block still queued')
        elif fields:
            self._set_flags(header, fields[2] & ~WHDR_PREPARED)
            self.device.prepared.pop(header, None)
        return 0

    def do_waveOutReset(self, handle):
        if self._handle(handle, 'device', 'waveOutReset') is not None:
            for header in self.device.queued:
                flags = struct.unpack('<I', self.uc.mem_read(header + 16, 4))[0]
                self._set_flags(header, (flags & ~WHDR_INQUEUE) | WHDR_DONE)
            self.device.queued.clear()
            self.device.busy_until = self.clock
            self.signal(self.device.event)
        return 0

    def do_waveOutClose(self, handle):
        if self._handle(handle, 'device', 'waveOutClose') is None:
            return 1
        device = self.device
        if device.queued or device.prepared:
            self._fault(f'waveOutClose with {len(device.queued)} blocks queued and '
                        f'{len(device.prepared)} prepared')
            return 1
        del self.handles[handle]
        device.closed = True
        self.signal(device.event)   # WOM_CLOSE
        return 0


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

PROGRESS_LOOK_MS = 50    # how often Stop looks at the device (LOOK_EVERY_MS)
SETTLE_MS = 2000    # after Stop, the library's threads may run this long
WINMM_CALLS = {'waveOutGetNumDevs', *PLAYBACK_IMPORTS['winmm.dll']}


@dataclass(frozen=True)
class Expected:
    """How a run goes: what Init and Play answer and the simulated ms they take, how long Stop
    may take beyond the device's play-out, whether the device ends reset and closed, or is
    given up and left as it is, and whether it played the whole file."""
    init: int = 1
    init_ms: float = 0
    play: int = 1
    play_ms: float = 0
    stop_past_playout_ms: float = PROGRESS_LOOK_MS
    closed: bool = True
    whole: bool = None  # as `closed` unless said

    def plays_whole(self):
        return self.closed if self.whole is None else self.whole


HEALTHY = Expected()
NOT_OPENED = Expected(play=0, play_ms=DEVICE_ANSWER_MS, stop_past_playout_ms=0, closed=False)
# Stop waits for the close as long as for any answer of the device.
NOT_CLOSED = Expected(stop_past_playout_ms=DEVICE_ANSWER_MS, closed=False)

# (name, what winmm does, how the run goes), each on the first of FILES: 21 blocks of 50 ms.
FAULTS = [
    ('waveOutGetNumDevs never answers', Winmm(hang=Hang('waveOutGetNumDevs')),
     Expected(init=0, init_ms=DEVICE_ANSWER_MS, play=0, stop_past_playout_ms=0, closed=False)),
    ('waveOutOpen never answers', Winmm(hang=Hang('waveOutOpen')), NOT_OPENED),
    ('waveOutWrite never answers for the 4th block', Winmm(hang=Hang('waveOutWrite', nth=4)),
     NOT_OPENED),
    ('waveOutOpen answers once Play has given up: the device is closed again at once',
     Winmm(hang=Hang('waveOutOpen', ms=DEVICE_ANSWER_MS + 100)),
     Expected(play=0, play_ms=DEVICE_ANSWER_MS, stop_past_playout_ms=0, whole=False)),
    ('waveOutWrite answers for the 4th block once Play has given up: nothing more is written',
     Winmm(hang=Hang('waveOutWrite', nth=4, ms=DEVICE_ANSWER_MS + 100)), NOT_OPENED),
    # Stop counts the device's silence from its own first look: a thread that noted the last
    # block late must not make the device look stalled sooner.
    ('the device finishes 6 blocks, then none: Stop gives up after the bound', Winmm(finishes=6),
     Expected(stop_past_playout_ms=DEVICE_ANSWER_MS, closed=False)),
    ('the device finishes 19 blocks, then none: Stop waits for a stall', Winmm(finishes=19),
     Expected(stop_past_playout_ms=DEVICE_ANSWER_MS + PROGRESS_LOOK_MS, closed=False)),
    ('waveOutReset never answers', Winmm(hang=Hang('waveOutReset')), NOT_CLOSED),
    ('waveOutClose never answers', Winmm(hang=Hang('waveOutClose')), NOT_CLOSED),
]


@dataclass
class Playback:
    problems: list                  # the calls' own faults and convention slips
    answers: dict                   # export -> (its answer, the simulated ms it took)
    player: Player
    calls_by_stop: list = None      # the calls made until Stop returned
    threads_at_stop: list = None    # Threads.thread_problems as Stop returned
    playout_ms: float = 0           # how long the device played on after Stop was called


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
    playback.answers[name] = (got.result, got.ms)
    return got.result


def play(path, winmm=Winmm()):
    """Makes a stream of `path` and plays it as playonce does over `winmm`: Play, a sleep of the
    file's length, Stop; then the library's threads have their time."""
    player = Player(LIBRARY, winmm)
    player.uc.mem_write(PATH, path.encode() + b'\0')
    playback = Playback([], {}, player)
    steps = [('DllEntry', (player.base, DLL_PROCESS_ATTACH, 0)),
             ('BASS_Init', (1, 44100, 0x800, 0, 0)),
             ('BASS_StreamCreateFile', (0, PATH, 0, 0, STREAM_FLAGS))]
    for name, args in steps:
        if call(player, playback, name, args) is None:
            return playback
    stream = playback.answers['BASS_StreamCreateFile'][0]
    length = call(player, playback, 'BASS_ChannelGetLength', (stream, 0))
    seconds = call(player, playback, 'BASS_ChannelBytes2Seconds', (stream, length))
    call(player, playback, 'BASS_ChannelSetAttribute', (stream, BASS_ATTRIB_VOL, ONE_POINT_ZERO))
    if call(player, playback, 'BASS_ChannelPlay', (stream, 0)) is None:
        return playback
    playback.problems += player.sleep(round((seconds or 0) * 1000))
    stop_at = player.clock
    if call(player, playback, 'BASS_ChannelStop', (stream,)) is None:
        return playback
    playback.calls_by_stop = list(player.calls)
    playback.threads_at_stop = player.thread_problems()
    done = player.device.last_done_ms
    playback.playout_ms = max(0.0, done - stop_at) if done is not None else 0.0
    playback.problems += player.sleep(SETTLE_MS) + player.thread_problems()
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


def answer_problems(playback, reference, expected):
    """The exports' answers and simulated times against `expected` and the file."""
    problems = []
    frame_bytes = 2 * reference.channels
    wanted = [('BASS_Init', expected.init, expected.init_ms),
              ('BASS_ChannelGetLength', reference.frames * frame_bytes, 0),
              ('BASS_ChannelBytes2Seconds', reference.frames / reference.rate, 0),
              ('BASS_ChannelPlay', expected.play, expected.play_ms)]
    for name, answer, ms in wanted:
        got, took = playback.answers[name]
        if got != answer:
            problems.append(f'{name} answered {got!r}, expected {answer!r}')
        if took != ms:
            problems.append(f'{name} took {took:g} ms of simulated time, expected {ms:g}')
    stopped, took = playback.answers['BASS_ChannelStop']
    bound = playback.playout_ms + expected.stop_past_playout_ms
    if stopped != 1 or took > bound:
        problems.append(f'BASS_ChannelStop answered {stopped} in {took:g} ms of simulated time, '
                        f'expected 1 within {bound:g} ({playback.playout_ms:g} of the device\'s '
                        f'play-out and {expected.stop_past_playout_ms:g})')
    return problems


def calls_after_hang(player):
    """The winmm calls made once a call hung, but for that call's own late answer."""
    if player.held is None:
        return []
    index, held = player.held
    after = [c for c in player.calls[index:] if c[0] in WINMM_CALLS]
    answer = next((i for i, c in enumerate(after) if (c[0], c[2]) == (player.winmm.hang.name,
                                                                       held)), None)
    return [f'{name} at {ms:g} ms by {thread}' for i, (name, ms, thread) in enumerate(after)
            if i != answer]


def device_problems(playback, reference, expected):
    """What the device went through: closed by Stop and every frame played, or left alone."""
    player, device = playback.player, playback.player.device
    names = [name for name, _, _ in player.calls]
    if expected.closed:
        by_stop = {name for name, _, _ in playback.calls_by_stop}
        problems = [f'{name} not called by the time Stop returned'
                    for name in ('waveOutReset', 'waveOutClose') if name not in by_stop]
        problems += [f'as Stop returned: {p}' for p in playback.threads_at_stop]
        left = [kind for kind, _ in player.handles.values()]
        if left or player.heap_blocks:
            problems.append(f'handles {sorted(left)} and {len(player.heap_blocks)} heap blocks '
                            f'left after Stop')
    elif player.winmm.hang:
        problems = [f'{call} after the hang' for call in calls_after_hang(player)]
    else:
        problems = [f'{name} called on a device given up' for name in names
                    if name in ('waveOutReset', 'waveOutClose')]
    opened = (device.rate, device.channels, device.bits, device.format_tag)
    if device.rate is not None and opened != (reference.rate, reference.channels, 16,
                                              WAVE_FORMAT_PCM):
        problems.append(f'device opened at {opened} (rate, channels, bits, tag), expected '
                        f'{(reference.rate, reference.channels, 16, WAVE_FORMAT_PCM)}')
        return problems
    return problems + played_problems(bytes(device.played), reference, expected.plays_whole())


def played_problems(played, reference, whole):
    """Whether the device played the file's first frames, or all of them and then silence."""
    if whole and len(played) < len(reference.samples):
        return [f'the device played {len(played)} bytes, fewer than the file\'s '
                f'{len(reference.samples)}']
    heard = min(len(played), len(reference.samples))
    differences = sample_differences(played[:heard], reference.samples[:heard],
                                     reference.channels)
    problems = [differences] if differences else []
    tail = played[len(reference.samples):]
    if whole and (not tail or len(tail) % (2 * reference.channels) or tail.count(0) != len(tail)):
        nonzero = next((i for i, b in enumerate(tail) if b), None)
        problems.append(f'after the file\'s frames: {len(tail)} bytes, expected whole frames of '
                        f'silence, at least one' + (f' (byte {nonzero} of them is not zero)'
                                                    if nonzero is not None else ''))
    return problems


def playback_problems(playback, reference, expected=HEALTHY):
    """What is wrong with a playback of a file the Linux build decodes as `reference`."""
    problems = list(playback.problems)
    if 'BASS_ChannelStop' not in playback.answers:
        return problems + ['the run ended before BASS_ChannelStop']
    problems += answer_problems(playback, reference, expected)
    # The stream frees itself at Stop (BASS_STREAM_AUTOFREE), whatever became of the device.
    player = playback.player
    files = [kind for kind, _ in player.handles.values() if kind == 'file']
    if files or player.c_blocks:
        problems.append(f'{len(files)} files open and {len(player.c_blocks)} C heap blocks left '
                        f'after Stop')
    return problems + device_problems(playback, reference, expected)


class Decoding(unittest.TestCase):
    def fail_on(self, problems, name, path, reference):
        if problems:
            self.fail(f'{name} ({path}: {reference.frames} frames, {reference.rate} Hz, '
                      f'{reference.channels} channels):\n  ' + '\n  '.join(problems))

    def test_each_format_plays_the_linux_samples(self):
        with tempfile.TemporaryDirectory(prefix='playonce-decoding-') as folder:
            for name, file_name, rate, channels, make in FILES:
                with self.subTest(file=name):
                    path = os.path.join(folder, file_name)
                    path = make(path, rate, channels) or path
                    if not os.path.isfile(path):
                        self.skipTest(f'{path} is not installed')
                    reference = linux_decoding(path, folder)
                    self.fail_on(playback_problems(play(path), reference), name, path, reference)

    def test_each_winmm_fault_is_waited_for_within_bounds(self):
        _, file_name, rate, channels, make = FILES[0]
        with tempfile.TemporaryDirectory(prefix='playonce-faults-') as folder:
            path = os.path.join(folder, file_name)
            make(path, rate, channels)
            reference = linux_decoding(path, folder)
            for name, winmm, expected in FAULTS:
                with self.subTest(fault=name):
                    problems = playback_problems(play(path, winmm), reference, expected)
                    self.fail_on(problems, name, path, reference)


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
