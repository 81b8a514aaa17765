// A recording double of the platform and audio library, for running the core inside a test.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/bass_api.h"

namespace fake {

struct Entry {
    DWORD attributes;
    uint64_t size;
};

// What the double answers: the command line, the file system, and the audio library's figures.
struct World {
    std::string command_line = "playonce.exe";
    std::map<std::string, Entry> entries;     // what FindFirstFileA matches, by exact name
    std::map<std::string, DWORD> attributes;  // what GetFileAttributesA reads
    std::set<std::string> drives;             // roots that exist, such as "C:\\"
    bool allocation_fails = false;
    HSTREAM stream = 0x1234;
    QWORD length_bytes = 0;
    double seconds = 0;
};

extern World world;
// Every call made, as "Name(arguments)", in order.
extern std::vector<std::string> calls;
extern int open_searches;
extern int live_blocks;

// Makes the world empty again and forgets all calls.
void Reset();

// Runs RunMain until its ExitProcess call and returns the exit code.
unsigned RunToExit();

// Only the calls whose names start with `prefix`.
std::vector<std::string> CallsTo(const std::string &prefix);

}  // namespace fake
