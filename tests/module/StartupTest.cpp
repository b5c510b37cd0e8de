// The application object's start-up in process: success starts and
// registers one socket clean-up; a socket layer that cannot start, or that
// grants another version than 1.1, ends in message 101 and FALSE. No log
// line either way.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Corbex.h"
#include "OamModule.h"
#include "module/OAMApp.h"
#include "module/Resource.h"
#include "LogCapture.h"

namespace oamtest {
namespace {

struct Box {
    std::string text, caption;
    UINT type;
};
std::vector<Box> g_boxes;

int CaptureBox(HWND, const char* text, const char* caption, UINT type) {
    g_boxes.push_back({text, caption, type});
    return IDOK;
}

int UnreadyStartup(WORD, WSADATA*) {
    return WSASYSNOTREADY;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        g_boxes.clear();
        OamSetMessageBoxHook(CaptureBox);
        m_logs.reset(new LogCapture);
        // From here on the layer is started only by what the test does.
        AfxSocketTerm();
        ASSERT_EQ(SOCKET_ERROR, win::WSACleanup());
    }
    void TearDown() override {
        AfxSetSocketLayer(nullptr, nullptr);
        OamSetMessageBoxHook(nullptr);
        EXPECT_EQ(m_logs->lines(), std::vector<LogCapture::Line>{});  // start-up logs nothing
        m_logs.reset();
        AfxSocketTerm();
        theApp.InitInstance();  // leave the process as loading left it
    }

    std::unique_ptr<LogCapture> m_logs;
};

TEST_F(Startup, ProcessStartUpSucceeded) {
    EXPECT_TRUE(OamStartupSucceeded());
}

TEST_F(Startup, SuccessStartsOnceAndCleansUpAtExit) {
    ASSERT_TRUE(theApp.InitInstance());
    EXPECT_TRUE(g_boxes.empty());
    // Exit processing (as at unload) gives back exactly the one start.
    theApp.ExitInstance();
    EXPECT_EQ(SOCKET_ERROR, win::WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, win::WSAGetLastError());
}

TEST_F(Startup, SocketLayerThatCannotStartShowsMessage101) {
    AfxSetSocketLayer(UnreadyStartup, nullptr);
    EXPECT_FALSE(theApp.InitInstance());
    ASSERT_EQ(1u, g_boxes.size());
    EXPECT_EQ(AfxLoadString(IDP_SOCKETS_INIT_FAILED), g_boxes[0].text);
    EXPECT_NE(std::string::npos, g_boxes[0].text.find("Sockets"));
    EXPECT_STREQ(AfxGetAppName(), g_boxes[0].caption.c_str());  // derived from the program's name here
    EXPECT_EQ(MB_OK, g_boxes[0].type);
    theApp.ExitInstance();  // nothing was registered to clean up
    EXPECT_EQ(SOCKET_ERROR, win::WSACleanup());
}

// A stand-in socket layer that grants a chosen version.
WORD g_granted;
int g_startResult, g_cleanups;
int FakeStartup(WORD, WSADATA* data) {
    data->wVersion = g_granted;
    return g_startResult;
}
int FakeCleanup() {
    ++g_cleanups;
    return 0;
}

TEST_F(Startup, OnlyVersionOneOneIsAccepted) {
    const struct {
        WORD granted;
        int startResult;
        BOOL ok;
        int cleanupsNow;  // at once, undoing a start of the wrong version
    } table[] = {{MAKEWORD(1, 1), 0, TRUE, 0},           {MAKEWORD(2, 2), 0, FALSE, 1},
                 {MAKEWORD(1, 0), 0, FALSE, 1},           {MAKEWORD(0, 1), 0, FALSE, 1},
                 {MAKEWORD(1, 1), WSASYSNOTREADY, FALSE, 0}, {MAKEWORD(2, 2), WSAVERNOTSUPPORTED, FALSE, 0}};
    for (const auto& row : table) {
        g_granted = row.granted;
        g_startResult = row.startResult;
        g_cleanups = 0;
        win::WSASetLastError(0);
        WSADATA data;
        EXPECT_EQ(row.ok, AfxSocketInitWith(&data, FakeStartup, FakeCleanup)) << std::hex << row.granted;
        EXPECT_EQ(row.cleanupsNow, g_cleanups) << std::hex << row.granted;
        if (row.cleanupsNow) {
            EXPECT_EQ(WSAVERNOTSUPPORTED, win::WSAGetLastError());
        }
        AfxSocketTerm();  // a successful start is cleaned up here, once
        AfxSocketTerm();
        EXPECT_EQ(row.cleanupsNow + (row.ok ? 1 : 0), g_cleanups) << std::hex << row.granted;
    }
}

}  // namespace
}  // namespace oamtest
