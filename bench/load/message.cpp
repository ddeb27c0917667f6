// Test message layout: "MRVL", sequence number, send time, fill derived from the sequence.
#include "message.h"

#include <cstring>

static const unsigned char MESSAGE_MAGIC[4] = {'M', 'R', 'V', 'L'};

static void put_u64(unsigned char *out, uint64_t value)
{
    for (int i = 0; i < 8; i++)
        out[i] = (unsigned char)(value >> (8 * i));
}

static uint64_t get_u64(const unsigned char *in)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; i++)
        value |= (uint64_t)in[i] << (8 * i);
    return value;
}

// splitmix64: every seq gives its own byte stream, so a payload swapped between
// two messages, shifted or partly overwritten is caught, not only a zeroed one.
static uint64_t next_fill_word(uint64_t *state)
{
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

static void make_fill(unsigned char *fill, size_t length, uint64_t seq)
{
    uint64_t state = seq;
    size_t offset = 0;
    while (offset < length) {
        unsigned char word[8];
        put_u64(word, next_fill_word(&state));
        size_t take = length - offset < 8 ? length - offset : 8;
        memcpy(fill + offset, word, take);
        offset += take;
    }
}

void write_message(unsigned char *buffer, uint64_t seq, int64_t send_ns)
{
    memcpy(buffer, MESSAGE_MAGIC, 4);
    put_u64(buffer + 4, seq);
    put_u64(buffer + 12, (uint64_t)send_ns);
    make_fill(buffer + LOAD_HEADER_SIZE, LOAD_MESSAGE_SIZE - LOAD_HEADER_SIZE, seq);
}

message_status_t read_message(const unsigned char *buffer, size_t length, uint64_t *seq,
                              int64_t *send_ns)
{
    if (length != LOAD_MESSAGE_SIZE)
        return MESSAGE_BAD_LENGTH;
    if (memcmp(buffer, MESSAGE_MAGIC, 4) != 0)
        return MESSAGE_BAD_MAGIC;
    uint64_t message_seq = get_u64(buffer + 4);
    unsigned char expected[LOAD_MESSAGE_SIZE - LOAD_HEADER_SIZE];
    make_fill(expected, sizeof expected, message_seq);
    if (memcmp(buffer + LOAD_HEADER_SIZE, expected, sizeof expected) != 0)
        return MESSAGE_BAD_FILL;
    *seq = message_seq;
    *send_ns = (int64_t)get_u64(buffer + 12);
    return MESSAGE_OK;
}
