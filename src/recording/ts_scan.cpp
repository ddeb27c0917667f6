// Where a recording may cut an MPEG-TS stream: random-access points and the tables before them.
#include "recording/ts_scan.h"

#define TS_SYNC 0x47
#define PAT_PID 0

// The payload of a packet and its length; 0 when it carries none.
static size_t packet_payload(const uint8_t *packet, const uint8_t **payload)
{
    int control = (packet[3] >> 4) & 0x3;
    size_t offset = 4;
    if (control == 2 || control == 0)
        return 0;
    if (control == 3)
        offset += 1 + (size_t)packet[4];
    if (offset >= TS_PACKET_SIZE)
        return 0;
    *payload = packet + offset;
    return TS_PACKET_SIZE - offset;
}

static bool has_random_access_indicator(const uint8_t *packet)
{
    int control = (packet[3] >> 4) & 0x3;
    return (control == 2 || control == 3) && packet[4] > 0 && (packet[5] & 0x40) != 0;
}

// The section that starts in a payload unit: past the pointer field; 0 when none fits.
static size_t section_start(const uint8_t *payload, size_t length, const uint8_t **section)
{
    if (length < 1 || (size_t)payload[0] + 1 >= length)
        return 0;
    *section = payload + 1 + payload[0];
    return length - 1 - payload[0];
}

// The PAT's first programme with a PMT (programme number not 0).
static void read_pat(ts_scan_t &scan, const uint8_t *section, size_t length)
{
    if (length < 8 || section[0] != 0x00)
        return;
    size_t end = 3 + (((size_t)(section[1] & 0x0f) << 8) | section[2]);
    end = end > length ? length : end;
    if (end < 12)
        return;
    for (size_t at = 8; at + 4 <= end - 4; at += 4) {
        int program = (section[at] << 8) | section[at + 1];
        if (program != 0) {
            scan.pmt_pid = ((section[at + 2] & 0x1f) << 8) | section[at + 3];
            return;
        }
    }
}

static bool is_video_type(uint8_t type)
{
    return type == 0x01 || type == 0x02 || type == 0x10 || type == 0x1b || type == 0x24 ||
           type == 0x42 || type == 0xea;
}

// The PMT's first video stream.
static void read_pmt(ts_scan_t &scan, const uint8_t *section, size_t length)
{
    if (length < 12 || section[0] != 0x02)
        return;
    size_t end = 3 + (((size_t)(section[1] & 0x0f) << 8) | section[2]);
    end = (end > length ? length : end);
    if (end < 4)
        return;
    end -= 4; // CRC
    size_t at = 12 + (((size_t)(section[10] & 0x0f) << 8) | section[11]);
    while (at + 5 <= end) {
        uint8_t type = section[at];
        int pid = ((section[at + 1] & 0x1f) << 8) | section[at + 2];
        if (is_video_type(type)) {
            scan.video_pid = pid;
            scan.video_type = type;
            return;
        }
        at += 5 + (((size_t)(section[at + 3] & 0x0f) << 8) | section[at + 4]);
    }
}

// True when the first picture data behind a PES header names a keyframe.
static bool pes_starts_keyframe(uint8_t video_type, const uint8_t *payload, size_t length)
{
    if (length < 9 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1)
        return false;
    size_t at = 9 + (size_t)payload[8];
    for (; at + 4 < length; at++) {
        if (payload[at] != 0 || payload[at + 1] != 0 || payload[at + 2] != 1)
            continue;
        uint8_t header = payload[at + 3];
        if (video_type == 0x1b) {
            int nal = header & 0x1f;
            if (nal == 5 || nal == 7)
                return true;
        } else if (video_type == 0x24) {
            int nal = (header >> 1) & 0x3f;
            if ((nal >= 16 && nal <= 21) || (nal >= 32 && nal <= 34))
                return true;
        } else if (video_type == 0x01 || video_type == 0x02) {
            if (header == 0xb3)
                return true;
        }
    }
    return false;
}

message_marks_t scan_message(ts_scan_t &scan, const uint8_t *data, size_t length)
{
    message_marks_t marks;
    if (length == 0 || length % TS_PACKET_SIZE != 0)
        return marks;
    marks.packets = true;
    for (size_t i = 0; i < length / TS_PACKET_SIZE; i++) {
        const uint8_t *packet = data + i * TS_PACKET_SIZE;
        if (packet[0] != TS_SYNC)
            return message_marks_t{};
        int pid = ((packet[1] & 0x1f) << 8) | packet[2];
        bool unit_start = (packet[1] & 0x40) != 0;
        const uint8_t *payload = nullptr;
        size_t payload_length = packet_payload(packet, &payload);
        const uint8_t *section = nullptr;
        size_t section_length = 0;
        if (unit_start && payload_length > 0 && (pid == PAT_PID || pid == scan.pmt_pid))
            section_length = section_start(payload, payload_length, &section);
        if (pid == PAT_PID && unit_start) {
            if (marks.pat < 0)
                marks.pat = (int)i;
            read_pat(scan, section, section_length);
        } else if (pid == scan.pmt_pid && unit_start) {
            read_pmt(scan, section, section_length);
        }
        if (marks.random_access >= 0)
            continue;
        bool video = scan.video_pid >= 0 && pid == scan.video_pid;
        if (has_random_access_indicator(packet) && (scan.video_pid < 0 || video))
            marks.random_access = (int)i;
        else if (video && unit_start &&
                 pes_starts_keyframe(scan.video_type, payload, payload_length))
            marks.random_access = (int)i;
    }
    return marks;
}
