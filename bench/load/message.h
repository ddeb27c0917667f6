// Layout, writing and checking of the 1316-byte test messages sent through a relay.
#pragma once

#include <cstddef>
#include <cstdint>

#define LOAD_MESSAGE_SIZE 1316
#define LOAD_HEADER_SIZE 20

enum message_status_t {
    MESSAGE_OK = 0,
    MESSAGE_BAD_LENGTH,
    MESSAGE_BAD_MAGIC,
    MESSAGE_BAD_FILL,
};

// Fills buffer (LOAD_MESSAGE_SIZE bytes) with the magic, seq, the send time in
// nanoseconds and a fill that is a pure function of seq. O(message size).
void write_message(unsigned char *buffer, uint64_t seq, int64_t send_ns);

// Checks a received message of length bytes. On MESSAGE_OK, *seq and *send_ns hold
// the embedded values; otherwise they are left unchanged. O(message size).
message_status_t read_message(const unsigned char *buffer, size_t length, uint64_t *seq,
                              int64_t *send_ns);
