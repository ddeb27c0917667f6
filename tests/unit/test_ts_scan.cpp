// Cut points of a recording: which packet of a message a player could begin with.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "recording/ts_scan.h"

namespace
{

// One 188-byte packet: PID, unit start, random-access indicator, payload (0xff fill).
std::string packet(int pid, bool unit_start, bool random_access, const std::string &payload)
{
    std::string out(TS_PACKET_SIZE, '\xff');
    out[0] = 0x47;
    out[1] = (char)((unit_start ? 0x40 : 0) | ((pid >> 8) & 0x1f));
    out[2] = (char)(pid & 0xff);
    size_t at = 4;
    out[3] = random_access ? 0x30 : 0x10;
    if (random_access) {
        out[4] = 1;    // adaptation field of one byte
        out[5] = 0x40; // its flags: random access
        at = 6;
    }
    out.replace(at, payload.size(), payload);
    return out;
}

const std::string pat("\x00\x00\xb0\x0d\x00\x01\xc1\x00\x00\x00\x01\xe0\x20\x00\x00\x00\x00", 17);
// Programme 1 on PID 0x20: H.264 on 0x100, AAC on 0x101.
const std::string pmt("\x00\x02\xb0\x17\x00\x01\xc1\x00\x00\xe1\x00\xf0\x00"
                      "\x1b\xe1\x00\xf0\x00\x0f\xe1\x01\xf0\x00\x00\x00\x00\x00",
                      27);
// A PES header, then a NAL unit of type nal.
std::string pes(char nal)
{
    return std::string("\x00\x00\x01\xe0\x00\x00\x80\x00\x00\x00\x00\x00\x01", 13) + nal;
}

TEST(ts_scan, random_access_points_and_tables_are_found_where_a_player_could_begin)
{
    const std::string tables = packet(0, true, false, pat) + packet(0x20, true, false, pmt);
    const struct {
        const char *name;
        bool tables_first; // the PAT and PMT were seen in an earlier message
        std::string message;
        int random_access;
        int pat;
    } cases[] = {
        {"indicator on any PID while no video PID is known", false,
         packet(0x101, false, false, "") + packet(0x101, true, true, ""), 1, -1},
        {"tables, then the video keyframe", false, tables + packet(0x100, true, true, pes(0x65)), 2,
         0},
        {"audio indicator once video is known", true, packet(0x101, true, true, ""), -1, -1},
        {"video indicator", true, packet(0x101, true, false, "") + packet(0x100, true, true, ""), 1,
         -1},
        {"IDR without indicator", true, packet(0x100, true, false, pes(0x65)), 0, -1},
        {"SPS without indicator", true, packet(0x100, true, false, pes(0x67)), 0, -1},
        {"a picture that is not a keyframe", true, packet(0x100, true, false, pes(0x41)), -1, -1},
        {"not whole packets", false, (tables + packet(0x100, true, true, "")).substr(1), -1, -1},
    };
    for (const auto &row : cases) {
        ts_scan_t scan;
        if (row.tables_first)
            scan_message(scan, (const uint8_t *)tables.data(), tables.size());
        message_marks_t marks =
            scan_message(scan, (const uint8_t *)row.message.data(), row.message.size());
        EXPECT_EQ(marks.random_access, row.random_access) << row.name;
        EXPECT_EQ(marks.pat, row.pat) << row.name;
        EXPECT_EQ(marks.packets, strcmp(row.name, "not whole packets") != 0) << row.name;
    }
}

} // namespace
