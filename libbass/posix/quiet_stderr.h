// A scope in which the process's standard error is closed to writes, for chatty decoders.
#pragma once

// libsndfile's MP3 decoder (mpg123) prints warnings on damaged files and offers no switch through
// libsndfile; while any QuietStderr lives, writes to fd 2 fail instead of reaching the user.
class QuietStderr {
  public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr &) = delete;
    QuietStderr &operator=(const QuietStderr &) = delete;
};
