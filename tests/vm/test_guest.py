#!/usr/bin/python3
# The x86 release as shipped, run by the 32-bit Wine inside a virtual machine, checked here.
"""Usage: /usr/bin/python3 tests/vm/test_guest.py --win32-build build/win32
              --host-build build/host --work build/vm [unittest options]

Finds the guest (tests/vm/build_guest.sh builds it once), writes a job disk holding playonce.exe
and BASS.dll unpacked from the release zip, the same two beside the x86 recording winmm.dll, the
x86 session keeper, the media and the list of cases, boots the guest once under qemu
(tests/vm/run_guest.sh runs every case there) and reads the results back with debugfs. The checks are the real-audio suite's,
made here: the samples against the host build's decoding of the same file.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time
import unittest
import zipfile
from dataclasses import dataclass

import numpy as np
import soundfile

sys.dont_write_bytecode = True  # nothing left in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'audio'))

import compare  # noqa: E402
import signals  # noqa: E402
import suite  # noqa: E402
from test_real_audio import RunChecks, SameSamplesAsLinuxTest, linux_decoding  # noqa: E402

ZIP_NAME = 'playonce-1.0.0-win32.zip'
BOOT_TIMEOUT_S = 900   # the one boot that runs every case
OVER_HEALTHY_S = 2.5   # what a sound server that dies or stops answering may add to a run
# A run that plays nothing takes Wine's start and no more; under emulation on a shared machine
# a start varies by seconds, so this bound catches a hang, not a slow start (the table reports).
QUIET_OVER_START_S = 5.0
# Wine 8's own sound thread faults as a process that played through a frozen server exits.
WINE_FROZEN_SERVER_STATUS = 139
GUEST_MEDIA = 'Z:\\job\\media\\'
FAULT_FILE = 'noise 3 s.wav'
NAMED_FILES = ['звук.wav', '音声ファイル.flac']
AGAIN = 'again/'  # a sink case's second play, under its folder

ARGS = None
RESULTS = None   # the folder the guest's results were read back into
CASES = []       # every Case, in the guest's order
TIMINGS = {}


@dataclass
class Case:
    kind: str
    label: str
    argument: str          # as the guest passes it; '-' for no argument
    sink: str = '-'        # RATE:CHANNELS of the null sink played into
    media: str = None      # the file's name under the job's media folder
    folder: str = None     # of its results: ASCII, since it is named in the stand-in's setting

    @property
    def name(self):
        return f'{self.kind} {self.label}'

    def line(self):
        return f'{self.kind}|{self.folder}|{self.sink}|{self.argument}\n'

    def read(self, name, mode='r'):
        path = os.path.join(RESULTS, self.folder, name)
        if not os.path.exists(path):
            return None
        with open(path, mode) as f:
            return f.read()

    def status(self):
        text = self.read('status')
        return int(text) if text else None

    def wall_s(self):
        text = self.read('wall_ms')
        return int(text) / 1000 if text else None


@dataclass
class GuestRun:
    """A guest run in the shape the real-audio suite's checks take."""
    case: Case
    capture: np.ndarray

    def describe(self):
        return (f'{self.case.kind} {self.case.label}: exit={self.case.status()} '
                f'wall={self.case.wall_s()}s stderr={(self.case.read("stderr", "rb") or b"")[:300]!r}')


# --- the job --------------------------------------------------------------------------------------

def make_media(folder):
    """Every format the DLL decodes itself (the real-audio suite's list), the two names beyond any
    ANSI code page, and the fault cases' file; {name: (rate, channels)}."""
    os.makedirs(folder)
    for case in SameSamplesAsLinuxTest.CASES:
        case.make(os.path.join(folder, case.name))
    rate = 44100
    signals.write_pcm16_wav(os.path.join(folder, NAMED_FILES[0]),
                            signals.noise_frames(rate, seed=71))
    signals.write_sound(os.path.join(folder, NAMED_FILES[1]), signals.noise_frames(rate, seed=72),
                        rate, 'FLAC', 'PCM_16')
    signals.write_pcm16_wav(os.path.join(folder, FAULT_FILE),
                            signals.noise_frames(3 * rate, seed=73))
    with open(os.path.join(folder, 'empty.wav'), 'wb'):
        pass
    formats = {}
    for name in sorted(os.listdir(folder)):
        if name != 'empty.wav':
            info = soundfile.info(os.path.join(folder, name))
            formats[name] = (info.samplerate, info.channels)
    return formats


def plan_cases(formats):
    cases = [Case('quiet', label, argument) for label, argument in [
        ('no parameter', '-'), ('empty parameter', ''), ('missing file', GUEST_MEDIA + 'no.wav'),
        ('directory', GUEST_MEDIA[:-1]), ('drive', 'C:'), ('0-byte file', GUEST_MEDIA + 'empty.wav')]]
    for kind in ('device', 'sink'):
        for name, (rate, channels) in formats.items():
            cases.append(Case(kind, name, GUEST_MEDIA + name,
                              f'{rate}:{channels}' if kind == 'sink' else '-', name))
    cases.append(Case('traced', FAULT_FILE, GUEST_MEDIA + FAULT_FILE, '44100:2', FAULT_FILE))
    for kind in ('frozen-start', 'frozen-mid', 'killed-mid'):
        cases.append(Case(kind, FAULT_FILE, GUEST_MEDIA + FAULT_FILE, '44100:2', FAULT_FILE))
    for index, case in enumerate(cases):
        case.folder = f'{index:02d}-{case.kind}'
    return cases


def unpack_release(zip_path, folder):
    """playonce.exe and BASS.dll as a user unpacks them."""
    os.makedirs(folder)
    with zipfile.ZipFile(zip_path) as release:
        for name in ('playonce.exe', 'BASS.dll'):
            with release.open(name) as packed, open(os.path.join(folder, name), 'wb') as out:
                shutil.copyfileobj(packed, out)


def write_job(job, cases):
    unpack_release(os.path.join(ARGS.win32_build, ZIP_NAME), os.path.join(job, 'release'))
    shutil.copytree(os.path.join(job, 'release'), os.path.join(job, 'device'))
    shutil.copy(os.path.join(ARGS.win32_build, 'tests', 'vm', 'device', 'winmm.dll'),
                os.path.join(job, 'device'))
    shutil.copy(os.path.join(ARGS.win32_build, 'tests', 'vm', 'session_keeper.exe'), job)
    shutil.copy(os.path.join(HERE, 'run_guest.sh'), job)
    with open(os.path.join(job, 'cases'), 'w') as out:
        out.writelines(case.line() for case in cases)
    with open(os.path.join(job, 'sinks'), 'w') as out:
        out.write(' '.join(sorted({case.sink for case in cases if case.sink != '-'})) + '\n')


def timed(label, function, *arguments):
    started = time.monotonic()
    result = function(*arguments)
    TIMINGS[label] = time.monotonic() - started
    return result


def run(command, timeout_s, **options):
    return subprocess.run(command, check=True, timeout=timeout_s, **options)


def build_guest():
    done = run(['bash', os.path.join(HERE, 'build_guest.sh')], 1200, stdout=subprocess.PIPE,
               text=True)
    return done.stdout.strip().splitlines()[-1]


def boot(guest, job_image, work):
    with open(os.path.join(work, 'console.log'), 'wb') as console:
        run(['qemu-system-x86_64', '-accel', 'tcg,thread=multi', '-smp', '2', '-m', '3G',
             '-nographic', '-no-reboot', '-kernel', os.path.join(guest, 'vmlinuz'),
             '-initrd', os.path.join(guest, 'initrd.img'),
             '-append', 'root=/dev/vda rw console=ttyS0 init=/sbin/playonce-init panic=-1 quiet',
             # The cached root stays as built: the guest's writes go to a scratch overlay.
             '-drive', f'file={os.path.join(guest, "root.ext4")},if=virtio,format=raw,snapshot=on',
             '-drive', f'file={job_image},if=virtio,format=raw'],
            BOOT_TIMEOUT_S, stdin=subprocess.DEVNULL, stdout=console, stderr=console,
            env=dict(os.environ, TMPDIR=work))


def run_guest():
    global RESULTS
    work = os.path.abspath(ARGS.work)
    shutil.rmtree(work, ignore_errors=True)
    job = os.path.join(work, 'job')
    formats = make_media(os.path.join(job, 'media'))
    CASES.extend(plan_cases(formats))
    write_job(job, CASES)
    guest = timed('guest (built or found)', build_guest)
    job_image = os.path.join(work, 'job.ext4')
    timed('job image', run, ['mkfs.ext4', '-F', '-q', '-d', job, job_image, '1G'], 120)
    timed('boot and every case', boot, guest, job_image, work)
    RESULTS = os.path.join(work, 'results')
    run(['debugfs', '-R', f'rdump /results {work}', job_image], 120,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not os.path.exists(os.path.join(RESULTS, 'complete')):
        raise RuntimeError(f'the guest did not finish its cases: see {work}/console.log and '
                           f'{RESULTS}/guest.log')


# --- the checks -----------------------------------------------------------------------------------

def cases_of(*kinds):
    return [case for case in CASES if case.kind in kinds]


def expected_frames(case):
    return linux_decoding(os.path.join(ARGS.work, 'job', 'media', case.media))


def captured(case, name, channels):
    raw = case.read(name, 'rb') or b''
    return np.frombuffer(raw[:len(raw) // (2 * channels) * 2 * channels],
                         dtype='<i2').reshape(-1, channels)


class GuestTest(RunChecks):
    maxDiff = None

    def test_runs_that_play_nothing_end_at_once_quietly(self):
        with open(os.path.join(RESULTS, 'wine_start_ms')) as start:
            start_s = int(start.read()) / 1000
        for case in cases_of('quiet'):
            with self.subTest(case.name):
                self.assertEqual(case.status(), 0, f'{case.name}: exit status')
                self.assertEqual(case.read('stdout', 'rb') + case.read('stderr', 'rb'), b'',
                                 f'{case.name}: printed')
                self.assertEqual(case.read('after'), case.read('before'),
                                 f'{case.name}: the media or release folder changed')
                self.assertLessEqual(case.wall_s(), start_s + QUIET_OVER_START_S,
                                     f'{case.name}: waited ({start_s:.1f} s to start wine)')

    def test_device_gets_the_linux_samples(self):
        for case in cases_of('device'):
            with self.subTest(case.name):
                expected = expected_frames(case)
                self.assertEqual(case.status(), 0, f'{case.name}: exit status')
                device_format = (case.read('device.raw.format') or '').split()
                self.assertEqual(device_format[1:], [str(expected.shape[1]), '16'],
                                 f'{case.name}: device format')
                heard = captured(case, 'device.raw', expected.shape[1])
                SameSamplesAsLinuxTest.assert_same_samples(self, heard, expected, case.name)

    def test_sink_hears_every_frame_exactly(self):
        for case in cases_of('sink'):
            with self.subTest(case.name):
                expected = expected_frames(case)

                def attempt(play):
                    status = case.read(play + 'status')
                    self.assertEqual(status and int(status), 0, f'{case.name}: exit status')
                    run = GuestRun(case, captured(case, play + 'capture.raw', expected.shape[1]))
                    self.assert_bit_exact(run, expected, case.name)
                try:
                    attempt('')
                except AssertionError as first:
                    print(f'\n  {case.name}: its second play checked, Wine\'s sound path having '
                          f'failed once: {first}', file=sys.stderr)
                    attempt(AGAIN)

    def test_sound_server_faults_end_within_the_bound(self):
        healthy = next(case for case in cases_of('sink') if case.media == FAULT_FILE)
        bound_s = healthy.wall_s() + OVER_HEALTHY_S
        for case in cases_of('frozen-start', 'frozen-mid', 'killed-mid'):
            with self.subTest(case.name):
                statuses = {0, WINE_FROZEN_SERVER_STATUS} if 'frozen' in case.kind else {0}
                self.assertIn(case.status(), statuses, f'{case.name}: exit status')
                self.assertLessEqual(case.wall_s(), bound_s,
                                     f'{case.name}: over the healthy run\'s '
                                     f'{healthy.wall_s():.1f} s + {OVER_HEALTHY_S} s')
                if case.kind != 'frozen-start':
                    self.assertTrue(case.read('fault_ms') and played(case),
                                    f'{case.name}: no sound was heard before the fault')


def streams_seen(case):
    """How many of the server's listings during the play held a stream ('-' if not watched)."""
    listings = case.read('streams')
    if listings is None:
        return '-'
    return str(sum(1 for line in listings.splitlines() if line.strip()))


def played(case):
    for name in ('device.raw', 'capture.raw'):
        raw = case.read(name, 'rb')
        if raw and raw.strip(b'\0'):
            return True
    return False


def exact(case):
    """Whether the run delivered the host build's decoding whole ('-' where not asked); for a
    sink case, each of its two plays."""
    if case.kind not in ('device', 'sink'):
        return '-'
    expected = expected_frames(case)
    names = ['device.raw'] if case.kind == 'device' else ['capture.raw', AGAIN + 'capture.raw']
    verdicts = []
    for name in names:
        match = compare.find_exact(captured(case, name, expected.shape[1]), expected)
        verdicts.append('yes' if match.matched == len(expected)
                        else f'no ({match.matched}/{len(expected)})')
    return ', '.join(verdicts)


def report():
    print('\nguest timings: ' + ', '.join(f'{k} {v:.1f} s' for k, v in TIMINGS.items()))
    if RESULTS and os.path.exists(os.path.join(RESULTS, 'guest.log')):
        with open(os.path.join(RESULTS, 'guest.log')) as log:
            print('guest log:\n' + ''.join('  ' + line for line in log
                                           if not line[:2].isdigit()))
    print(f'{"case":<60} {"played":<6} {"exact":<32} {"exit":>4} {"wall s":>7} streams')
    for case in CASES:
        wall = case.wall_s()
        print(f'{case.name:<60} {"yes" if played(case) else "no":<6} {exact(case):<32} '
              f'{case.status()!s:>4} {wall if wall is None else f"{wall:.2f}":>7} '
              f'{streams_seen(case)}')


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument('--win32-build', required=True, help=f'the win32 build, with {ZIP_NAME}')
    parser.add_argument('--host-build', required=True, help='the host build (decode_dump)')
    parser.add_argument('--work', required=True, help='scratch folder, emptied first')
    arguments, rest = parser.parse_known_args()
    suite.LINUX_DECODER = os.path.join(arguments.host_build, 'tests', 'libbass', 'decode_dump')
    return arguments, rest


def main():
    global ARGS
    ARGS, rest = parse_arguments()
    started = time.monotonic()
    try:
        run_guest()
    except BaseException:
        print('guest timings: ' + ', '.join(f'{k} {v:.1f} s' for k, v in TIMINGS.items()))
        raise
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False)
    report()
    print(f'vm stage: {time.monotonic() - started:.1f} s')
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == '__main__':
    main()
