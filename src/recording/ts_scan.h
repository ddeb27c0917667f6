// Where a recording may cut an MPEG-TS stream: random-access points and the tables before them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define TS_PACKET_SIZE 188

// What the scan learnt of the stream so far: the PMT's PID (from the PAT) and
// the video PID (from the PMT). -1 while unknown. One per recording.
struct ts_scan_t {
    int pmt_pid = -1;
    int video_pid = -1;
    uint8_t video_type = 0; // the PMT's stream type of the video PID
};

// Where in one message (index of the 188-byte packet; -1: none) a player could begin.
struct message_marks_t {
    int random_access = -1; // a packet that begins a picture a player can start with
    int pat = -1;           // the first PAT packet
    bool packets = false;   // the message is whole TS packets
};

/*
 * Scans one message of whole TS packets. A random-access point is a packet with
 * the random-access indicator on the video PID, or the PES start of the video
 * PID whose first picture data is a keyframe (H.264 IDR or SPS, HEVC IRAP or
 * parameter set, MPEG-2 sequence header); while no video PID is known, the
 * indicator on any PID counts. A message that is not whole packets (length not a
 * multiple of 188, or a lost sync byte) marks nothing. O(length), no allocation.
 */
message_marks_t scan_message(ts_scan_t &scan, const uint8_t *data, size_t length);
