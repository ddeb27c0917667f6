// Tests of the route registry: id allocation, listing order and connection lists.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "routing/connections.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

// A route record with no threads and no sockets, put at the front of g_routes.
static route_t *insert_route(int32_t id) {
    std::list<route_t> holder;
    if (build_route_record(holder, id) != 0)
        return nullptr;
    pthread_mutex_lock(&g_routes_lock);
    g_routes.splice(g_routes.begin(), holder);
    pthread_mutex_unlock(&g_routes_lock);
    return &g_routes.front();
}

class registry : public ::testing::Test {
  protected:
    void SetUp() override {
        snprintf(saved_config_path_, sizeof saved_config_path_, "%s", g_config_path);
        dir_ = make_temp_dir();
        ASSERT_FALSE(dir_.empty());
        snprintf(g_config_path, sizeof g_config_path, "%s/routes.json", dir_.c_str());
        discard_all_routes();
        reset_id_counters();
    }
    void TearDown() override {
        discard_all_routes();
        reset_id_counters();
        snprintf(g_config_path, sizeof g_config_path, "%s", saved_config_path_);
        remove_tree(dir_);
    }

    std::string dir_;
    char saved_config_path_[256];
};

TEST_F(registry, first_ids_are_100_and_1000_and_target_ids_are_shared_by_routes) {
    EXPECT_EQ(create_route(), 100);
    EXPECT_EQ(create_route(), 101);
    EXPECT_EQ(add_target(100), 1000);
    EXPECT_EQ(add_target(101), 1001);
    EXPECT_EQ(add_target(100), 1002);
    // Deleting does not give an id back to the counter.
    EXPECT_EQ(delete_route(101), 0);
    EXPECT_EQ(create_route(), 102);
    EXPECT_EQ(add_target(102), 1003);
}

TEST_F(registry, later_route_comes_first_with_nothing_open) {
    ASSERT_EQ(create_route(), 100);
    ASSERT_EQ(create_route(), 101);
    ASSERT_EQ(create_route(), 102);
    std::vector<int32_t> ids;
    for (const route_t &route : g_routes)
        ids.push_back(route.id);
    EXPECT_EQ(ids, (std::vector<int32_t>{102, 101, 100}));
    const route_t &route = g_routes.front();
    EXPECT_EQ(route.basesockin, -1);
    EXPECT_EQ(route.active_source, -1);
    EXPECT_TRUE(route.conns.empty());
    EXPECT_TRUE(route.targets.empty());
    EXPECT_TRUE(route_threads_idle(route));
}

TEST_F(registry, allocation_skips_zero_and_ids_in_use_after_the_wrap) {
    struct case_t {
        const char *name;
        bool targets;
        std::vector<int32_t> in_use;
        int32_t largest_before; // the counter then stands one above it
        std::vector<int32_t> expected;
    };
    const case_t cases[] = {
        {"route counter wraps past 0", false, {}, 65533, {65534, 1, 2}},
        {"route ids in use are skipped after the wrap", false, {1, 2, 4}, 65533, {65534, 3, 5}},
        {"route id in use is skipped before the wrap", false, {101}, 99, {100, 102}},
        {"target counter wraps past 0", true, {}, 65533, {65534, 1, 2}},
        {"target ids of any route are skipped", true, {1, 2}, 65534, {3, 4}},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(c.name);
        route_t *holder = insert_route(c.targets ? 30000 : 30001);
        ASSERT_NE(holder, nullptr);
        for (int32_t id : c.in_use) {
            if (c.targets) {
                // Spread over two routes: ids are unique across the registry.
                route_t *owner = id % 2 == 0 ? holder : insert_route(40000 + id);
                ASSERT_NE(owner, nullptr);
                append_target(*owner, id);
            } else {
                ASSERT_NE(insert_route(id), nullptr);
            }
        }
        advance_id_counters(c.targets ? -1 : c.largest_before, c.targets ? c.largest_before : -1);
        pthread_mutex_lock(&g_routes_lock);
        std::vector<int32_t> got;
        for (size_t n = 0; n < c.expected.size(); n++)
            got.push_back(c.targets ? allocate_target_id() : allocate_route_id());
        pthread_mutex_unlock(&g_routes_lock);
        EXPECT_EQ(got, c.expected);
        discard_all_routes();
        reset_id_counters();
    }
}

TEST_F(registry, create_route_after_wrap_never_reuses_a_listed_id) {
    ASSERT_EQ(create_route(), 100);
    advance_id_counters(65534 + 100, -1);
    // 65635 % 65535 is 100, which is taken.
    EXPECT_EQ(create_route(), 101);
    EXPECT_EQ(g_routes.size(), 2u);
}

TEST_F(registry, adding_a_listed_connection_again_leaves_one_entry) {
    route_t *route = insert_route(100);
    ASSERT_NE(route, nullptr);
    target_t &target = append_target(*route, 1000);
    const SRTSOCKET source_sock = 0x1e000001;
    const SRTSOCKET target_sock = 0x1e000002;
    const SRTSOCKET other_sock = 0x1e000003;

    add_connection(route, nullptr, source_sock, -1);
    add_connection(route, nullptr, source_sock, -1);
    add_connection(route, &target, -1, target_sock);
    add_connection(route, &target, -1, target_sock);
    EXPECT_EQ(count_conns(*route, route->conns), 1u);
    EXPECT_EQ(count_conns(*route, target.conns), 1u);
    EXPECT_TRUE(conns_contain(route->conns, source_sock));
    EXPECT_TRUE(conns_contain(target.conns, target_sock));

    // A listed source id does not keep another socket out of the target list.
    add_connection(route, &target, -1, source_sock);
    add_connection(route, &target, -1, other_sock);
    EXPECT_EQ(count_conns(*route, target.conns), 3u);
    EXPECT_EQ(count_conns(*route, route->conns), 1u);
}
