// The C interface when memory runs out inside a call: its failure value, and
// every text output it did not store set to "", as for any other failure.
// The program replaces operator new, which the library's allocations go
// through, and makes it refuse while a row's call runs.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <functional>
#include <new>
#include <string>

#include "oamsdk_c.h"

namespace {

bool g_refuse = false;
int g_refused = 0;

void* Allocate(std::size_t n) {
    if (g_refuse) {
        ++g_refused;
        throw std::bad_alloc();
    }
    if (void* p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, std::size_t) noexcept { free(p); }
void operator delete[](void* p, std::size_t) noexcept { free(p); }

namespace {

// Long enough that no copy of it fits a string's own small buffer.
const char kLong[] = "Name=a value long enough to be allocated;Other=1;";

struct Row {
    const char* what;
    long failure;
    std::function<long(char* out, size_t size)> call;
};

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        channel = oam_channel_new();
        ASSERT_NE(nullptr, channel);
    }
    void TearDown() override { oam_channel_delete(channel); }
    oam_channel* channel = nullptr;
};

TEST_F(OutOfMemory, EveryTextOutputIsEmptyAndTheFailureValueGiven) {
    char text[sizeof kLong], other[128];
    size_t length = 0;
    int32_t number = 0;
    auto fresh = [&] { memcpy(text, kLong, sizeof kLong); };
    const Row rows[] = {
        {"oam_channel_command", -1,
         [&](char* out, size_t size) {
             return oam_channel_command(channel, "S1", "Get", kLong, out, size, &length);
         }},
        {"oam_channel_command_unlocked", -1,
         [&](char* out, size_t size) {
             return oam_channel_command_unlocked(channel, "S1", "Get", kLong, out, size, nullptr);
         }},
        {"oam_codec_pop_name_value's name", -1,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_name_value(text, out, size, other, sizeof other, 1);
         }},
        {"oam_codec_pop_name_value's value", -1,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_name_value(text, other, sizeof other, out, size, 1);
         }},
        {"oam_codec_pop_command_id", -1,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_command_id(text, out, size);
         }},
        {"oam_codec_pop_station_id", -1,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_station_id(text, out, size);
         }},
        {"oam_codec_get_name_value", 0,
         [&](char* out, size_t size) { return oam_codec_get_name_value(kLong, "Name", out, size); }},
        {"oam_codec_split's left", 0,
         [&](char* out, size_t size) { return oam_codec_split(kLong, out, size, other, sizeof other); }},
        {"oam_codec_split's right", 0,
         [&](char* out, size_t size) { return oam_codec_split(kLong, other, sizeof other, out, size); }},
        {"oam_codec_pop_value_name's value", 0,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_value_name(text, out, size, other, sizeof other);
         }},
        {"oam_codec_pop_value_name's name", 0,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_pop_value_name(text, other, sizeof other, out, size);
         }},
        {"oam_codec_station_entry's id", 0,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_station_entry(text, out, size, other, sizeof other, &number);
         }},
        {"oam_codec_station_entry's name", 0,
         [&](char* out, size_t size) {
             fresh();
             return oam_codec_station_entry(text, other, sizeof other, out, size, &number);
         }},
        {"oam_module_dir", -1, [&](char* out, size_t size) { return oam_module_dir(out, size); }},
        {"oam_md5", -1, [&](char* out, size_t) { return oam_md5(kLong, sizeof kLong, out); }},
    };
    // A module directory of the environment's, long enough to be allocated.
    setenv("OAMSDK_MODULE_DIR", "/a/module/directory/of/some/length", 1);
    for (const Row& row : rows) {
        char out[OAM_MD5_SIZE + 8];
        memset(out, 'x', sizeof out - 1);
        out[sizeof out - 1] = '\0';
        memset(other, 'y', sizeof other - 1);
        other[sizeof other - 1] = '\0';
        g_refused = 0;
        g_refuse = true;
        long result = row.call(out, sizeof out);
        g_refuse = false;
        EXPECT_GT(g_refused, 0) << row.what << ": allocated nothing, so tests nothing";
        EXPECT_EQ(row.failure, result) << row.what;
        EXPECT_STREQ("", out) << row.what;
    }
}

}  // namespace
