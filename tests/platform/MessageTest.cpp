// Window messages: which thread runs a sent message and when the sender
// resumes, ordering of posted and sent messages, destroyed windows, and the
// message box.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "oam_win.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

const UINT kPing = WM_USER + 1;
const UINT kProbe = WM_USER + 2;

// What a window's procedure saw, in order.
struct Log {
    std::mutex m;
    std::vector<std::pair<UINT, WPARAM>> seen;
    std::vector<std::thread::id> threads;
    void add(UINT msg, WPARAM wp) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(msg, wp);
        threads.push_back(std::this_thread::get_id());
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(m);
        return seen.size();
    }
};

LRESULT LoggingProc(HWND wnd, UINT msg, WPARAM wp, LPARAM) {
    static_cast<Log*>(OamGetWindowUserData(wnd))->add(msg, wp);
    return static_cast<LRESULT>(wp) * 2 + 1;
}

// A thread that owns one window and runs its loop until quit.
class WindowThread {
public:
    explicit WindowThread(Log* log, bool startLoop = true) {
        auto f = made_.get_future();
        thread_ = std::thread([this, log, startLoop] {
            HWND w = OamCreateMessageWindow(LoggingProc, log);
            made_.set_value(w);
            if (!startLoop) {
                std::unique_lock<std::mutex> lk(m_);
                cv_.wait(lk, [this] { return go_; });
            }
            OamRunMessageLoop(w);
        });
        wnd_ = f.get();
    }
    ~WindowThread() {
        Start();
        OamQuitMessageLoop(wnd_);
        thread_.join();
    }
    void Start() {
        std::lock_guard<std::mutex> lk(m_);
        go_ = true;
        cv_.notify_all();
    }
    HWND wnd() const { return wnd_; }

private:
    std::promise<HWND> made_;
    std::thread thread_;
    HWND wnd_ = nullptr;
    std::mutex m_;
    std::condition_variable cv_;
    bool go_ = false;
};

}  // namespace

TEST(Messages, SendFromAnotherThreadRunsOnTheWindowThreadAndWaits) {
    Log log;
    std::atomic<bool> handlerDone{false};
    struct Ctx {
        Log* log;
        std::atomic<bool>* done;
    } ctx{&log, &handlerDone};
    std::promise<HWND> made;
    std::thread owner([&] {
        HWND w = OamCreateMessageWindow(
            [](HWND wnd, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
                Ctx* c = static_cast<Ctx*>(OamGetWindowUserData(wnd));
                Sleep(20);  // a slow handler: the sender must still wait for it
                c->log->add(msg, wp);
                c->done->store(true);
                return static_cast<LRESULT>(wp) + 100;
            },
            &ctx);
        made.set_value(w);
        OamRunMessageLoop(w);
        OamDestroyMessageWindow(w);
    });
    HWND w = made.get_future().get();
    EXPECT_EQ(142, SendMessageA(w, kPing, 42, 0));
    EXPECT_TRUE(handlerDone.load()) << "SendMessageA returned before the handler ran";
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(owner.get_id(), log.threads[0]);
    EXPECT_NE(std::this_thread::get_id(), log.threads[0]);
    OamQuitMessageLoop(w);
    owner.join();
}

TEST(Messages, SendOnTheOwnThreadRunsDirectly) {
    Log log;
    HWND w = OamCreateMessageWindow(LoggingProc, &log);
    ASSERT_NE(nullptr, w);
    // Nobody pumps this thread's queue: the call must not wait for that.
    EXPECT_EQ(7, SendMessageA(w, kPing, 3, 0));
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(std::this_thread::get_id(), log.threads[0]);
    // Posted messages wait for the pump.
    EXPECT_TRUE(PostMessageA(w, kPing, 4, 0));
    EXPECT_EQ(1u, log.size());
    EXPECT_EQ(1, OamPumpMessages(w, 0));
    EXPECT_EQ(2u, log.size());
    EXPECT_EQ(0, OamPumpMessages(w, 10));
    EXPECT_TRUE(OamDestroyMessageWindow(w));
}

TEST(Messages, PostedMessagesArriveInOrderPerSender) {
    Log log;
    const int kPerSender = 2000;
    {
        WindowThread wt(&log);
        std::vector<std::thread> senders;
        for (int s = 0; s < 2; ++s) {
            senders.emplace_back([&, s] {
                for (int i = 0; i < kPerSender; ++i)
                    ASSERT_TRUE(PostMessageA(wt.wnd(), kPing + static_cast<UINT>(s), static_cast<WPARAM>(i), 0));
            });
        }
        for (auto& t : senders) t.join();
    }  // quit is queued behind every message posted
    ASSERT_EQ(static_cast<size_t>(2 * kPerSender), log.seen.size());
    WPARAM next[2] = {0, 0};
    for (auto& e : log.seen) {
        int s = static_cast<int>(e.first - kPing);
        ASSERT_EQ(next[s], e.second) << "sender " << s;
        ++next[s];
    }
}

TEST(Messages, SentMessagesGoBeforePostedOnes) {
    Log log;
    WindowThread a(&log, /*startLoop=*/false);  // does not pump yet
    ASSERT_TRUE(PostMessageA(a.wnd(), kPing, 1, 0));
    ASSERT_TRUE(PostMessageA(a.wnd(), kPing, 2, 0));

    // B sends to A's window and, while it waits, runs what is sent to its
    // own window: our probe returning proves B's message is queued at A.
    Log bLog;
    std::promise<HWND> bMade;
    std::promise<LRESULT> bResult;
    std::thread b([&] {
        HWND bw = OamCreateMessageWindow(LoggingProc, &bLog);
        bMade.set_value(bw);
        bResult.set_value(SendMessageA(a.wnd(), kPing, 9, 0));
        OamDestroyMessageWindow(bw);
    });
    HWND bw = bMade.get_future().get();
    EXPECT_EQ(11, SendMessageA(bw, kProbe, 5, 0));
    a.Start();
    EXPECT_EQ(19, bResult.get_future().get());
    b.join();
    // Let A drain its posted messages.
    for (int i = 0; i < 10000 && log.size() < 3; ++i) Sleep(1);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(9u, log.seen[0].second) << "the sent message runs first";
    EXPECT_EQ(1u, log.seen[1].second);
    EXPECT_EQ(2u, log.seen[2].second);
}

TEST(Messages, CrossSendsDoNotDeadlock) {
    // Two threads, each owning a window, send to each other's window at
    // the same time and never pump otherwise.
    Log la, lb;
    std::promise<HWND> ma, mb;
    std::shared_future<HWND> fa = ma.get_future().share(), fb = mb.get_future().share();
    LRESULT ra = 0, rb = 0;
    std::thread ta([&] {
        HWND w = OamCreateMessageWindow(LoggingProc, &la);
        ma.set_value(w);
        ra = SendMessageA(fb.get(), kPing, 10, 0);
        // Serve the other side until it is answered too.
        for (int i = 0; i < 1000 && la.size() < 1; ++i) OamPumpMessages(w, 10);
        OamDestroyMessageWindow(w);
    });
    std::thread tb([&] {
        HWND w = OamCreateMessageWindow(LoggingProc, &lb);
        mb.set_value(w);
        rb = SendMessageA(fa.get(), kPing, 20, 0);
        for (int i = 0; i < 1000 && lb.size() < 1; ++i) OamPumpMessages(w, 10);
        OamDestroyMessageWindow(w);
    });
    ta.join();
    tb.join();
    EXPECT_EQ(21, ra);
    EXPECT_EQ(41, rb);
}

TEST(Messages, DestroyedAndBogusWindowsAreRefused) {
    Log log;
    HWND w = OamCreateMessageWindow(LoggingProc, &log);
    ASSERT_TRUE(IsWindow(w));
    ASSERT_TRUE(OamDestroyMessageWindow(w));
    int local = 0;
    for (HWND bad : {w, static_cast<HWND>(nullptr), reinterpret_cast<HWND>(&local)}) {
        // Windows takes a null window as the calling thread's queue.
        if (bad || !oamtest::kWindows) {
            EXPECT_FALSE(PostMessageA(bad, kPing, 1, 0));
        }
        EXPECT_EQ(0, SendMessageA(bad, kPing, 1, 0));
        EXPECT_FALSE(IsWindow(bad));
        EXPECT_FALSE(OamDestroyMessageWindow(bad));
        EXPECT_EQ(-1, OamPumpMessages(bad, 0));
    }
    EXPECT_EQ(0u, log.size());
    EXPECT_EQ(nullptr, OamCreateMessageWindow(nullptr, nullptr));
}

TEST(Messages, WaitingSenderGetsZeroWhenTheWindowGoesAway) {
    // Windows destroys a window only on its own thread (from another one,
    // OamDestroyMessageWindow asks it to close); its thread's end works.
    for (int viaThreadExit = oamtest::kWindows ? 1 : 0; viaThreadExit < 2; ++viaThreadExit) {
        Log log;
        std::promise<HWND> made;
        std::promise<void> release;
        std::thread owner([&] {
            HWND w = OamCreateMessageWindow(LoggingProc, &log);
            made.set_value(w);
            release.get_future().wait();  // never pumps; ends when told
        });
        HWND w = made.get_future().get();
        ASSERT_TRUE(PostMessageA(w, kPing, 1, 0));

        Log senderLog;
        std::promise<HWND> senderMade;
        std::promise<LRESULT> sent;
        std::thread sender([&] {
            HWND mine = OamCreateMessageWindow(LoggingProc, &senderLog);
            senderMade.set_value(mine);
            sent.set_value(SendMessageA(w, kPing, 5, 0));
            OamDestroyMessageWindow(mine);
        });
        // Once the probe is answered the sender is waiting on w.
        EXPECT_EQ(1, SendMessageA(senderMade.get_future().get(), kProbe, 0, 0));
        if (viaThreadExit) {
            release.set_value();
            owner.join();
        } else {
            EXPECT_TRUE(OamDestroyMessageWindow(w));
        }
        EXPECT_EQ(0, sent.get_future().get());
        sender.join();
        if (!viaThreadExit) {
            release.set_value();
            owner.join();
        }
        EXPECT_EQ(0u, log.size()) << "nothing ran on the vanished window";
        EXPECT_FALSE(IsWindow(w));
        EXPECT_FALSE(PostMessageA(w, kPing, 1, 0));
    }
}

// Destroyed from another thread, the window is gone when the call returns
// (IsWindow FALSE) and its procedure gets nothing more, also what was
// already queued for it. On Windows the call waits for the window's thread
// to take the request (the owner here pumps only once the call is made).
TEST(Messages, DestroyFromAnotherThreadIsFinalWhenItReturns) {
    Log log, otherLog;
    std::promise<std::pair<HWND, HWND>> made;
    std::promise<void> go;
    std::atomic<bool> done{false};
    std::thread owner([&] {
        HWND w = OamCreateMessageWindow(LoggingProc, &log);
        HWND pump = OamCreateMessageWindow(LoggingProc, &otherLog);
        made.set_value({w, pump});
        go.get_future().wait();
        for (int i = 0; i < 1000 && !done.load(); ++i) OamPumpMessages(pump, 10);
        OamDestroyMessageWindow(pump);
    });
    auto windows = made.get_future().get();
    HWND w = windows.first;
    for (WPARAM i = 0; i < 3; ++i) ASSERT_TRUE(PostMessageA(w, kPing, i, 0));
    std::promise<std::pair<BOOL, BOOL>> destroyed;
    std::thread destroyer([&] {
        BOOL r = OamDestroyMessageWindow(w);
        destroyed.set_value({r, IsWindow(w)});
    });
    // POSIX returns at once; Windows waits for the owner, which starts now.
    auto pending = destroyed.get_future();
    pending.wait_for(std::chrono::milliseconds(300));
    go.set_value();
    auto result = pending.get();
    destroyer.join();
    // Whatever the owner still does, nothing reaches the window now.
    ASSERT_TRUE(PostMessageA(windows.second, kPing, 7, 0));
    for (int i = 0; i < 500 && otherLog.size() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    done = true;
    owner.join();
    EXPECT_TRUE(result.first);
    EXPECT_FALSE(result.second) << "IsWindow at the call's return";
    EXPECT_EQ(0u, log.size()) << "the messages queued before the call never ran";
    EXPECT_FALSE(PostMessageA(w, kPing, 1, 0));
}

// A message sent from another thread counts as one handled, as a posted
// one does, and the pump returns once it is handled, not at its time-out.
TEST(Messages, PumpCountsSentMessagesAndReturnsOnceHandled) {
    Log log;
    HWND w = OamCreateMessageWindow(LoggingProc, &log);
    for (int waitingFirst = 0; waitingFirst < 2; ++waitingFirst) {
        std::promise<LRESULT> answer;
        std::thread sender([&] { answer.set_value(SendMessageA(w, kPing, 4, 0)); });
        // Either the message waits before the pump starts, or it comes
        // while the pump waits.
        if (waitingFirst) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto start = std::chrono::steady_clock::now();
        int handled = OamPumpMessages(w, 4000);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        sender.join();
        EXPECT_EQ(9, answer.get_future().get());
        EXPECT_EQ(1, handled) << "waiting first: " << waitingFirst;
        EXPECT_LT(ms.count(), 2500) << "waiting first: " << waitingFirst;
    }
    EXPECT_EQ(2u, log.size());
    PostMessageA(w, kPing, 1, 0);
    EXPECT_EQ(1, OamPumpMessages(w, 0));
    OamDestroyMessageWindow(w);
}

TEST(Messages, LoopAndPumpBelongToTheOwnerAndQuitCarriesItsCode) {
    Log log;
    HWND w = OamCreateMessageWindow(LoggingProc, &log);
    int fromOther = 0;
    std::thread([&] { fromOther = OamRunMessageLoop(w) + OamPumpMessages(w, 0); }).join();
    EXPECT_EQ(-2, fromOther);
    for (WPARAM i = 0; i < 3; ++i) PostMessageA(w, kPing, i, 0);
    PostMessageA(w, WM_QUIT, 7, 0);
    PostMessageA(w, kPing, 99, 0);
    EXPECT_EQ(7, OamRunMessageLoop(w));
    EXPECT_EQ(3u, log.size());
    OamQuitMessageLoop(nullptr);  // this thread's queue
    EXPECT_EQ(1, OamPumpMessages(w, 0)) << "runs 99, then stops at the quit";
    EXPECT_EQ(0, OamPumpMessages(w, 0));
    EXPECT_EQ(4u, log.size());
    OamDestroyMessageWindow(w);
}

namespace {
std::string g_boxText, g_boxCaption;
int BoxHook(HWND, const char* text, const char* caption, UINT) {
    g_boxText = text;
    g_boxCaption = caption;
    return 42;
}
}  // namespace

TEST(Messages, MessageBoxWritesOneLineOrGoesToTheHook) {
    OamSetMessageBoxHook(BoxHook);
    EXPECT_EQ(42, OamMessageBox(nullptr, "socket layer failed", "oamsdk", MB_OK));
    EXPECT_EQ("socket layer failed", g_boxText);
    EXPECT_EQ("oamsdk", g_boxCaption);
    OamSetMessageBoxHook(nullptr);

    // Default: one line on stderr.
    OAM_SKIP_ON_WINDOWS("without a hook the message box is the system's, which waits for a click");
    int rc = 0;
    const std::string out = oamtest::CaptureStderr([&] { rc = OamMessageBox(nullptr, "text", "caption", MB_OK); });
    EXPECT_EQ(IDOK, rc);
    EXPECT_EQ("caption: text\n", out);
}

}  // namespace oamtest
