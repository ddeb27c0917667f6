// Tests of the route seed's check: what a person may write, and the first fault it names.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "config/route_seed.h"

// Each document with the fault the check must name ("" when it is sound). ' stands for ".
TEST(route_seed, check_accepts_sound_documents_and_names_the_first_fault)
{
    const struct {
        const char *document;
        const char *fault;
    } cases[] = {
        {"{}", ""},
        {"{'100':{'source_id':100,'enabled':1,'mode':'listen','url':'srt://:9000?streamid=a',"
         "'targets':{'1000':{'enabled':1,'mode':'push','url':'srt://[::1]:9001'},"
         "'1001':{'enabled':1,'mode':'pull','url':'srt://10.0.0.1:9002'}}},"
         "'7':{'enabled':0,'url':''},'8':{'mode':'rendezvous','url':'srt://10.0.0.2:9003'}}",
         ""},
        {"{'100':", "not JSON: "},
        {"[]", "not a JSON object"},
        {"{'100':{},'100':{}}", "not JSON: duplicate object key"},
        {"{'route':{}}", "route \"route\": the name is not a route id"},
        {"{'0100':{}}", "route \"0100\": the name is not a route id"},
        {"{'65535':{}}", "route \"65535\": the name is not a route id"},
        {"{'100':'x'}", "route \"100\": not an object"},
        {"{'100':{'enable':1}}", "route \"100\": unknown member \"enable\""},
        {"{'100':{'source_id':101}}", "route \"100\": \"source_id\" is not the route's id"},
        {"{'100':{'enabled':true}}", "route \"100\": \"enabled\" is not 0 or 1"},
        {"{'100':{'enabled':2}}", "route \"100\": \"enabled\" is not 0 or 1"},
        {"{'100':{'mode':'push'}}", "route \"100\": \"mode\" is not listen, pull or rendezvous"},
        {"{'100':{'url':5}}", "route \"100\": \"url\" is not a string"},
        {"{'100':{'enabled':1}}", "route \"100\": enabled without a \"url\""},
        {"{'100':{'url':'udp://:9000'}}", "route \"100\": \"url\" does not start with srt://"},
        {"{'100':{'url':'srt://10.0.0.1?latency=9'}}", "route \"100\": \"url\" has no port"},
        {"{'100':{'url':'srt://:70000'}}", "\"url\" has no port from 1 to 65535"},
        {"{'100':{'url':'srt://[::1:9000'}}", "\"url\" has no ] after its IPv6 address"},
        {"{'100':{'mode':'pull','url':'srt://origin:9001'}}",
         "route \"100\": \"url\" names no IP address to call"},
        {"{'100':{'targets':[]}}", "route \"100\": \"targets\" is not an object"},
        {"{'100':{'targets':{'t':{}}}}", "route \"100\", target \"t\": the name is not a target"},
        {"{'100':{'targets':{'1000':{'mode':'Listen'}}}}",
         "target \"1000\": \"mode\" is not listen, push, pull or rendezvous"},
        {"{'100':{'targets':{'1000':{}}},'101':{'targets':{'1000':{}}}}",
         "route \"101\", target \"1000\": the id is used twice"},
        {"{'100':{'targets':{'1000':{'source_id':100}}}}", "unknown member \"source_id\""},
    };
    for (const auto &c : cases) {
        std::string document = c.document;
        std::replace(document.begin(), document.end(), '\'', '"');
        std::string reason;
        int result = check_route_document(document.data(), document.size(), reason);
        bool sound = c.fault[0] == '\0';
        EXPECT_EQ(result, sound ? 0 : -1) << document << ": " << reason;
        EXPECT_TRUE(sound ? reason.empty() : reason.find(c.fault) != std::string::npos)
            << document << ": " << reason;
    }
}
