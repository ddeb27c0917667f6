// Tests of the route registry: id allocation, listing order and connection lists.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "routing/connections.h"
#include "routing/operations.h"
#include "routing/registry.h"
#include "testkit.h"

class registry : public ::testing::Test
{
  protected:
    registry_sandbox_t sandbox_;
};

TEST_F(registry, ids_start_at_100_and_1000_are_never_given_back_and_newest_route_is_first)
{
    EXPECT_EQ(create_route(), 100);
    EXPECT_EQ(create_route(), 101);
    EXPECT_EQ(add_target(100), 1000);
    EXPECT_EQ(add_target(101), 1001); // target ids are shared by all routes
    EXPECT_EQ(add_target(100), 1002);
    EXPECT_EQ(delete_route(101), 0);
    EXPECT_EQ(create_route(), 102);
    EXPECT_EQ(add_target(102), 1003);
    std::vector<int32_t> ids;
    for (const route_t &route : g_routes)
        ids.push_back(route.id);
    EXPECT_EQ(ids, (std::vector<int32_t>{102, 100}));
    const route_t &route = g_routes.front();
    EXPECT_EQ(route.basesockin, -1);
    EXPECT_EQ(route.active_source, -1);
    EXPECT_TRUE(route.conns.empty());
    EXPECT_TRUE(route_threads_idle(route));
}

TEST_F(registry, allocation_skips_zero_and_ids_in_use_after_the_wrap)
{
    const struct {
        const char *name;
        bool targets;
        std::vector<int32_t> in_use;
        int32_t largest_before; // the counter then stands one above it
        std::vector<int32_t> expected;
    } cases[] = {
        {"route counter wraps past 0", false, {}, 65533, {65534, 1, 2}},
        {"route ids in use are skipped after the wrap", false, {1, 2, 4}, 65533, {65534, 3, 5}},
        {"route id in use is skipped before the wrap", false, {101}, 99, {100, 102}},
        {"target counter wraps past 0", true, {}, 65533, {65534, 1, 2}},
        {"target ids of any route are skipped", true, {1, 2}, 65534, {3, 4}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        route_t *holder = insert_idle_route(c.targets ? 30000 : 30001);
        ASSERT_NE(holder, nullptr);
        for (int32_t id : c.in_use) {
            if (c.targets) {
                // Spread over two routes: ids are unique across the registry.
                route_t *owner = id % 2 == 0 ? holder : insert_idle_route(40000 + id);
                ASSERT_NE(owner, nullptr);
                append_target(*owner, id);
            } else {
                ASSERT_NE(insert_idle_route(id), nullptr);
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
