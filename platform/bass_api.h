// The seven calls playonce makes on the audio library, with the library's own names and types.
#pragma once

#include "platform/windows_api.h"

typedef uint64_t QWORD;
typedef DWORD HSTREAM;

constexpr DWORD BASS_DEVICE_SPEAKERS = 0x800;
constexpr DWORD BASS_STREAM_PRESCAN = 0x20000;
constexpr DWORD BASS_STREAM_AUTOFREE = 0x40000;
constexpr DWORD BASS_POS_BYTE = 0;
constexpr DWORD BASS_ATTRIB_VOL = 2;

extern "C" {

BOOL WINAPI BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void *clsid);
HSTREAM WINAPI BASS_StreamCreateFile(BOOL mem, const void *file, QWORD offset, QWORD length,
                                     DWORD flags);
QWORD WINAPI BASS_ChannelGetLength(DWORD handle, DWORD mode);
double WINAPI BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
BOOL WINAPI BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
BOOL WINAPI BASS_ChannelPlay(DWORD handle, BOOL restart);
BOOL WINAPI BASS_ChannelStop(DWORD handle);
}
