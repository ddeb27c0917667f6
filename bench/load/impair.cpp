// "impair": a UDP middlebox on the loopback that loses, delays, jitters and duplicates.
#include "impair.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "load_common.h"

#define DATAGRAM_MAX 2048
// Datagrams held for their due time at once; past that a datagram is counted unsent.
// 8192 is 0.4 s of 200 Mbit/s in 1316-byte messages.
#define POOL_SLOTS 8192
#define READS_PER_WAKE 256
#define WAIT_MAX_NS 100000000LL
#define SOCKET_BUFFER_BYTES (4 * 1024 * 1024)
#define NO_SLOT UINT32_MAX

enum { DIRECTION_FWD = 0, DIRECTION_BACK = 1 };
static const char *const direction_names[2] = {"fwd", "back"};

struct impair_rule_t {
    double loss_pct = 0, dup_pct = 0;
    int64_t delay_ns = 0, jitter_ns = 0;
};

// in - dropped + duplicated = out + unsent; unsent counts a full pool, a refused send and
// what was still held at the end.
struct impair_counters_t {
    uint64_t in = 0, dropped = 0, duplicated = 0, out = 0, unsent = 0;
};

struct impair_direction_t {
    impair_rule_t rule;
    uint64_t random_state = 0;
    impair_counters_t counters;
};

// Family, port and address bytes of a peer: a lookup allocates nothing.
struct peer_key_t {
    uint8_t bytes[20];
    bool operator<(const peer_key_t &other) const
    {
        return memcmp(bytes, other.bytes, sizeof bytes) < 0;
    }
    bool operator==(const peer_key_t &other) const
    {
        return memcmp(bytes, other.bytes, sizeof bytes) == 0;
    }
};

struct impair_peer_t {
    sockaddr_storage address;
    socklen_t length;
    int upstream_fd;
};

struct held_datagram_t {
    uint32_t peer;
    uint8_t direction;
    uint16_t length;
    unsigned char data[DATAGRAM_MAX];
};

struct due_entry_t {
    int64_t due_ns;
    uint64_t order;
    uint32_t slot;
};

// Heap order: the earliest due time on top, equal times in arrival order.
static bool due_later(const due_entry_t &a, const due_entry_t &b)
{
    return a.due_ns != b.due_ns ? a.due_ns > b.due_ns : a.order > b.order;
}

struct impair_state_t {
    int listen_fd = -1;
    sockaddr_storage to;
    socklen_t to_length = 0;
    peer_key_t to_key;
    impair_direction_t directions[2];
    std::vector<impair_peer_t> peers;
    std::map<peer_key_t, uint32_t> peer_index;
    std::vector<pollfd> pollfds; // [0] the listen socket, [i + 1] peer i's upstream socket
    std::unique_ptr<held_datagram_t[]> pool;
    std::vector<uint32_t> free_slots;
    std::vector<due_entry_t> due; // a heap in due_later order
    uint64_t next_order = 0;
};

// splitmix64: a full-period stream from any 64-bit state.
static uint64_t next_random(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Uniform in [0, 1).
static double next_unit(uint64_t &state)
{
    return (double)(next_random(state) >> 11) * 0x1.0p-53;
}

static peer_key_t key_of(const sockaddr_storage &address)
{
    peer_key_t key;
    memset(&key, 0, sizeof key);
    key.bytes[0] = (uint8_t)address.ss_family;
    if (address.ss_family == AF_INET) {
        sockaddr_in v4;
        memcpy(&v4, &address, sizeof v4);
        memcpy(key.bytes + 2, &v4.sin_port, 2);
        memcpy(key.bytes + 4, &v4.sin_addr, 4);
    } else if (address.ss_family == AF_INET6) {
        sockaddr_in6 v6;
        memcpy(&v6, &address, sizeof v6);
        memcpy(key.bytes + 2, &v6.sin6_port, 2);
        memcpy(key.bytes + 4, &v6.sin6_addr, 16);
    }
    return key;
}

static void address_text(const sockaddr_storage &address, socklen_t length, char *text, size_t size)
{
    char host[INET6_ADDRSTRLEN] = "?", port[8] = "?";
    getnameinfo((const sockaddr *)&address, length, host, sizeof host, port, sizeof port,
                NI_NUMERICHOST | NI_NUMERICSERV);
    if (address.ss_family == AF_INET6)
        snprintf(text, size, "[%s]:%s", host, port);
    else
        snprintf(text, size, "%s:%s", host, port);
}

static socklen_t loopback_of(int family, int port, sockaddr_storage &address)
{
    memset(&address, 0, sizeof address);
    if (family == AF_INET6) {
        sockaddr_in6 v6;
        memset(&v6, 0, sizeof v6);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons((uint16_t)port);
        v6.sin6_addr = in6addr_loopback;
        memcpy(&address, &v6, sizeof v6);
        return sizeof v6;
    }
    sockaddr_in v4;
    memset(&v4, 0, sizeof v4);
    v4.sin_family = AF_INET;
    v4.sin_port = htons((uint16_t)port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    memcpy(&address, &v4, sizeof v4);
    return sizeof v4;
}

// A non-blocking UDP socket on the loopback of family, at port (0: any). The fd or -1.
static int open_udp(int family, int port)
{
    int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    int size = SOCKET_BUFFER_BYTES;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    sockaddr_storage local;
    socklen_t length = loopback_of(family, port, local);
    if (bind(fd, (const sockaddr *)&local, length) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

static int bound_port(int fd)
{
    sockaddr_storage local;
    socklen_t length = sizeof local;
    if (getsockname(fd, (sockaddr *)&local, &length) == -1)
        return -1;
    sockaddr_in v4;
    memcpy(&v4, &local, sizeof v4); // the port sits at the same offset in sockaddr_in6
    return ntohs(v4.sin_port);
}

// Reads "host:port" or "[v6]:port" into state.to. Returns 0 or -1.
static int resolve_target(const char *text, impair_state_t &state)
{
    char host[128];
    const char *port;
    if (text[0] == '[') {
        const char *end = strchr(text, ']');
        if (end == nullptr || end[1] != ':')
            return -1;
        snprintf(host, sizeof host, "%.*s", (int)(end - text - 1), text + 1);
        port = end + 2;
    } else {
        const char *colon = strrchr(text, ':');
        if (colon == nullptr)
            return -1;
        snprintf(host, sizeof host, "%.*s", (int)(colon - text), text);
        port = colon + 1;
    }
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, port, &hints, &found) != 0)
        return -1;
    memcpy(&state.to, found->ai_addr, found->ai_addrlen);
    state.to_length = found->ai_addrlen;
    freeaddrinfo(found);
    state.to_key = key_of(state.to);
    return 0;
}

// The index of the listen-side peer at address; a new peer gets its own upstream socket.
// -1 when that socket cannot be opened. O(log peers).
static int64_t find_peer(impair_state_t &state, const sockaddr_storage &address, socklen_t length)
{
    peer_key_t key = key_of(address);
    auto found = state.peer_index.find(key);
    if (found != state.peer_index.end())
        return found->second;
    int fd = open_udp(state.to.ss_family, 0);
    if (fd == -1) {
        fprintf(stderr, "impair: upstream socket: %s\n", strerror(errno));
        return -1;
    }
    impair_peer_t peer;
    peer.address = address;
    peer.length = length;
    peer.upstream_fd = fd;
    state.peers.push_back(peer);
    uint32_t index = (uint32_t)(state.peers.size() - 1);
    state.peer_index[key] = index;
    state.pollfds.push_back({fd, POLLIN, 0});
    char text[80];
    address_text(address, length, text, sizeof text);
    fprintf(stderr, "impair: peer %s relayed from local port %d\n", text, bound_port(fd));
    return index;
}

// Queues the datagram in slot for its due time: the delay plus a uniform share of the jitter.
// O(log held).
static void hold(impair_state_t &state, uint32_t slot, uint32_t peer, int direction, size_t length)
{
    impair_direction_t &way = state.directions[direction];
    held_datagram_t &held = state.pool[slot];
    held.peer = peer;
    held.direction = (uint8_t)direction;
    held.length = (uint16_t)length;
    int64_t extra = 0;
    if (way.rule.jitter_ns > 0)
        extra = (int64_t)(next_unit(way.random_state) * (double)way.rule.jitter_ns);
    state.due.push_back({monotonic_ns() + way.rule.delay_ns + extra, state.next_order++, slot});
    std::push_heap(state.due.begin(), state.due.end(), due_later);
}

// Reads one datagram from the socket at pollfds[index] and drops, holds or doubles it by its
// direction's rule. A reply from anyone but the --to address is ignored. Returns false once
// the socket has nothing more. Cost: one receive, two random draws, one or two heap pushes.
static bool take_datagram(impair_state_t &state, size_t index)
{
    int direction = index == 0 ? DIRECTION_FWD : DIRECTION_BACK;
    unsigned char scratch[DATAGRAM_MAX];
    uint32_t slot = state.free_slots.empty() ? NO_SLOT : state.free_slots.back();
    unsigned char *buffer = slot == NO_SLOT ? scratch : state.pool[slot].data;
    sockaddr_storage from;
    socklen_t from_length = sizeof from;
    ssize_t length = recvfrom(state.pollfds[index].fd, buffer, DATAGRAM_MAX, MSG_TRUNC,
                              (sockaddr *)&from, &from_length);
    if (length == -1)
        return false;
    int64_t peer = (int64_t)index - 1;
    if (direction == DIRECTION_FWD)
        peer = find_peer(state, from, from_length);
    else if (!(key_of(from) == state.to_key))
        return true;
    impair_direction_t &way = state.directions[direction];
    way.counters.in++;
    if (next_unit(way.random_state) * 100.0 < way.rule.loss_pct) {
        way.counters.dropped++;
        return true;
    }
    int copies = next_unit(way.random_state) * 100.0 < way.rule.dup_pct ? 2 : 1;
    way.counters.duplicated += (uint64_t)(copies - 1);
    if (peer == -1 || length > DATAGRAM_MAX) {
        way.counters.unsent += (uint64_t)copies;
        return true;
    }
    for (int copy = 0; copy < copies; copy++) {
        if (state.free_slots.empty()) {
            way.counters.unsent++;
            continue;
        }
        uint32_t taken = state.free_slots.back();
        state.free_slots.pop_back();
        if (state.pool[taken].data != buffer)
            memcpy(state.pool[taken].data, buffer, (size_t)length);
        hold(state, taken, (uint32_t)peer, direction, (size_t)length);
    }
    return true;
}

// Sends every held datagram whose time has come, earliest first. O(k log held).
static void send_due(impair_state_t &state, int64_t now)
{
    while (!state.due.empty() && state.due.front().due_ns <= now) {
        std::pop_heap(state.due.begin(), state.due.end(), due_later);
        uint32_t slot = state.due.back().slot;
        state.due.pop_back();
        const held_datagram_t &held = state.pool[slot];
        const impair_peer_t &peer = state.peers[held.peer];
        ssize_t sent;
        if (held.direction == DIRECTION_FWD)
            sent = sendto(peer.upstream_fd, held.data, held.length, 0, (const sockaddr *)&state.to,
                          state.to_length);
        else
            sent = sendto(state.listen_fd, held.data, held.length, 0,
                          (const sockaddr *)&peer.address, peer.length);
        impair_counters_t &counters = state.directions[held.direction].counters;
        if (sent == (ssize_t)held.length)
            counters.out++;
        else
            counters.unsent++;
        state.free_slots.push_back(slot);
    }
}

static const char *const value_options[] = {
    "--listen",    "--to",         "--seconds",     "--seed",      "--loss",       "--delay",
    "--jitter",    "--dup",        "--fwd-loss",    "--fwd-delay", "--fwd-jitter", "--fwd-dup",
    "--back-loss", "--back-delay", "--back-jitter", "--back-dup"};

// Every argument must be a known option, each but --bind6 with a value: a misspelt one would
// quietly give a clean link. Returns 0 or -1.
static int check_arguments(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--bind6") == 0)
            continue;
        bool known = false;
        for (const char *name : value_options)
            known = known || strcmp(argv[i], name) == 0;
        if (!known || i + 1 >= argc) {
            fprintf(stderr, "impair: unknown option or missing value: %s\n", argv[i]);
            return -1;
        }
        i++;
    }
    return 0;
}

// The number after name, within [low, high], or fallback when absent. Returns 0 or -1.
static int read_number(int argc, char **argv, const char *name, double low, double high,
                       double fallback, double *value)
{
    const char *text = find_option(argc, argv, name, nullptr);
    *value = fallback;
    if (text == nullptr)
        return 0;
    char *end = nullptr;
    double number = strtod(text, &end);
    if (end == text || *end != '\0' || !(number >= low && number <= high)) {
        fprintf(stderr, "impair: %s takes a number from %g to %g, not %s\n", name, low, high, text);
        return -1;
    }
    *value = number;
    return 0;
}

// One direction's rule: its own option (--fwd-loss) over the shared one (--loss).
static int read_rule(int argc, char **argv, const char *prefix, impair_rule_t &rule)
{
    static const char *const names[4] = {"loss", "dup", "delay", "jitter"};
    static const double highs[4] = {100, 100, 3600000, 3600000};
    double values[4];
    for (int i = 0; i < 4; i++) {
        char shared[32], own[32];
        snprintf(shared, sizeof shared, "--%s", names[i]);
        snprintf(own, sizeof own, "--%s-%s", prefix, names[i]);
        double fallback = 0;
        if (read_number(argc, argv, shared, 0, highs[i], 0, &fallback) == -1 ||
            read_number(argc, argv, own, 0, highs[i], fallback, &values[i]) == -1)
            return -1;
    }
    rule.loss_pct = values[0];
    rule.dup_pct = values[1];
    rule.delay_ns = (int64_t)(values[2] * 1e6);
    rule.jitter_ns = (int64_t)(values[3] * 1e6);
    return 0;
}

static void print_report(const impair_state_t &state, unsigned long long seed)
{
    printf("{\"role\":\"impair\",\"seed\":%llu,\"peers\":%zu", seed, state.peers.size());
    for (int direction = 0; direction < 2; direction++) {
        const impair_counters_t &c = state.directions[direction].counters;
        printf(",\"%s\":{\"in\":%llu,\"dropped\":%llu,\"duplicated\":%llu,\"out\":%llu,"
               "\"unsent\":%llu}",
               direction_names[direction], (unsigned long long)c.in, (unsigned long long)c.dropped,
               (unsigned long long)c.duplicated, (unsigned long long)c.out,
               (unsigned long long)c.unsent);
    }
    printf("}\n");
}

// Relays until the deadline or a stop signal, sleeping until the next datagram is due.
static void relay_datagrams(impair_state_t &state, int64_t deadline)
{
    while (!g_stop) {
        int64_t now = monotonic_ns();
        send_due(state, now);
        if (now >= deadline)
            break;
        int64_t wait = std::min<int64_t>(deadline - now, WAIT_MAX_NS);
        if (!state.due.empty())
            wait = std::max<int64_t>(0, std::min<int64_t>(wait, state.due.front().due_ns - now));
        struct timespec timeout = {(time_t)(wait / 1000000000LL), (long)(wait % 1000000000LL)};
        if (ppoll(state.pollfds.data(), state.pollfds.size(), &timeout, nullptr) <= 0)
            continue; // nothing yet, or a stop signal
        size_t watched = state.pollfds.size();
        for (size_t i = 0; i < watched; i++) {
            if ((state.pollfds[i].revents & (POLLIN | POLLERR)) == 0)
                continue;
            for (int reads = 0; reads < READS_PER_WAKE && take_datagram(state, i); reads++)
                continue;
        }
    }
}

int run_impair(int argc, char **argv)
{
    impair_state_t state;
    double listen_port = 0, seconds = 0;
    const char *to = find_option(argc, argv, "--to", nullptr);
    const char *seed_text = find_option(argc, argv, "--seed", "1");
    char *seed_end = nullptr;
    unsigned long long seed = strtoull(seed_text, &seed_end, 10);
    if (check_arguments(argc, argv) == -1 ||
        read_number(argc, argv, "--listen", 1, 65535, 0, &listen_port) == -1 ||
        read_number(argc, argv, "--seconds", 0, 1e6, 0, &seconds) == -1 ||
        read_rule(argc, argv, "fwd", state.directions[DIRECTION_FWD].rule) == -1 ||
        read_rule(argc, argv, "back", state.directions[DIRECTION_BACK].rule) == -1)
        return 2;
    if (listen_port == 0 || seconds <= 0 || to == nullptr || *seed_end != '\0' ||
        resolve_target(to, state) == -1) {
        fprintf(stderr, "impair: --listen PORT, --to HOST:PORT and --seconds S are required"
                        " (and --seed is a whole number)\n");
        return 2;
    }
    uint64_t seeder = seed;
    for (impair_direction_t &way : state.directions)
        way.random_state = next_random(seeder);

    int family = has_flag(argc, argv, "--bind6") ? AF_INET6 : AF_INET;
    state.listen_fd = open_udp(family, (int)listen_port);
    if (state.listen_fd == -1) {
        fprintf(stderr, "impair: cannot bind UDP port %d: %s\n", (int)listen_port, strerror(errno));
        return 1;
    }
    state.pool.reset(new held_datagram_t[POOL_SLOTS]);
    state.free_slots.reserve(POOL_SLOTS);
    for (uint32_t slot = POOL_SLOTS; slot > 0; slot--)
        state.free_slots.push_back(slot - 1);
    state.due.reserve(POOL_SLOTS);
    state.pollfds.push_back({state.listen_fd, POLLIN, 0});
    fprintf(stderr, "impair: listening on UDP port %d, relaying to %s\n", (int)listen_port, to);

    relay_datagrams(state, monotonic_ns() + (int64_t)(seconds * 1e9));

    for (const due_entry_t &entry : state.due)
        state.directions[state.pool[entry.slot].direction].counters.unsent++;
    for (const impair_peer_t &peer : state.peers)
        close(peer.upstream_fd);
    close(state.listen_fd);
    print_report(state, seed);
    return 0;
}
