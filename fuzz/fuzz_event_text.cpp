// libFuzzer target of the event texts: whatever a peer sends, every event and batch stays JSON.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include <jansson.h>

#include "core/events.h"
#include "fuzz_check.h"

// The clocks of the events: the targets link no logger.
uint64_t now_ms(void)
{
    return 1700000000123u;
}
uint64_t monotonic_ms(void)
{
    return 0;
}

// The input is three texts split at NUL bytes: a peer, a stream id and a value.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool configured = (configure_events(3, true, 1), true);
    (void)configured;
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string parts[3];
    size_t at = 0;
    for (std::string &part : parts) {
        size_t end = input.find('\0', at);
        part = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? input.size() : end + 1;
    }
    // Enough values of the longest kind to overflow the text, which must stay JSON.
    const char *value = parts[2].c_str();
    emit_event(EVENT_CALLER_REFUSED, {1, 2, parts[0].c_str(), parts[1].c_str()},
               {{"reason", value},
                event_names("fields", value),
                {"a", value},
                {"b", value},
                {"c", value},
                {"d", value},
                {"e", value},
                {"f", value},
                {"g", value}});

    event_read_t read;
    read_events_after(newest_event_id() - 1, 1 << 20, read);
    FUZZ_CHECK(read.texts.size() == 1);
    json_t *event = json_loads(read.texts[0].c_str(), 0, nullptr);
    FUZZ_CHECK(event != nullptr);
    // A stream id that is UTF-8 comes back as it was sent, when there was room for it.
    size_t kept = parts[1].size() < EVENT_STREAM_ID_MAX ? parts[1].size() : EVENT_STREAM_ID_MAX;
    json_t *sent = json_stringn(parts[1].data(), kept);
    json_t *stream_id = json_object_get(event, "stream_id");
    if (sent != nullptr && stream_id != nullptr)
        FUZZ_CHECK(json_equal(sent, stream_id));
    json_decref(sent);
    json_decref(event);

    webhook_batch_t batch;
    FUZZ_CHECK(take_webhook_batch(100, 0, batch));
    json_t *array = json_loads(batch.body.c_str(), 0, nullptr);
    FUZZ_CHECK(json_is_array(array) && json_array_size(array) >= 1);
    json_decref(array);
    webhook_batch_delivered(batch);
    return 0;
}
