// JSON texts of the control API's replies: what a caller's bytes look like once shown.
#include <string>

#include <gtest/gtest.h>
#include <jansson.h>

#include "http/reply.h"

// Non-UTF-8 stream ids are shown escaped, not as "".
TEST(reply, text_that_is_not_utf8_is_shown_escaped)
{
    const struct {
        std::string text, shown;
    } cases[] = {
        {"cam1", "cam1"},
        {"caf\xc3\xa9 \xf0\x9f\x8e\xa5 a\\b", "caf\xc3\xa9 \xf0\x9f\x8e\xa5 a\\b"},
        {"\xff", "\\xFF"},
        {"caf\xc3", "caf\\xC3"},                           // cut inside a character
        {"\xc3\xa9\\\xc0\x80", "\xc3\xa9\\\\\\xC0\\x80"},  // overlong, backslash escaped
        {"\xed\xa0\x80", "\\xED\\xA0\\x80"},               // a surrogate
        {"\xf4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},      // beyond U+10FFFF
        {"\x80\xf0\x9f\x8e\xa5", "\\x80\xf0\x9f\x8e\xa5"}, // what is UTF-8 stays
    };
    for (const auto &c : cases) {
        json_t *value = json_text(c.text.c_str());
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(std::string(json_string_value(value)), c.shown);
        json_decref(value);
    }
}
