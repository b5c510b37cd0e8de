// The command exchange against the fake server: request bytes, reply
// handling, session numbering, time-outs and what is logged where.
#include <string>
#include <vector>

#include "ChannelFixture.h"

namespace oamtest {
namespace {

const int R = CFunction::SinkR;
const int D = CFunction::SinkD;

struct RequestRow {
    const char* station;
    const char* command;
    const char* params;
    const char* expected;
};

class RequestFrame : public ::testing::TestWithParam<RequestRow> {};

TEST_P(RequestFrame, SendsExactlyTheFrame) {
    const RequestRow& row = GetParam();
    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    CString reply;
    EXPECT_EQ(channel.SendCommand(row.station, row.command, row.params, reply), 0);
    ASSERT_TRUE(server.waitRequests(1));
    channel.Close();
    ASSERT_TRUE(server.waitClosed(0));
    // Nothing before, after or between: no terminator, no length.
    EXPECT_EQ(server.received(0), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, RequestFrame,
    ::testing::Values(RequestRow{"12", "Get", "AllStation=;", "SESSIONID=0;STATIONID=12;CMD=Get;AllStation=;"},
                      RequestRow{"12", "Login", "User=a;Pass=b;", "SESSIONID=0;CMD=Login;User=a;Pass=b;"},
                      RequestRow{"12", "LOGIN", "", "SESSIONID=0;CMD=LOGIN;"},
                      RequestRow{"", "lOgIn", "x=1;", "SESSIONID=0;CMD=lOgIn;x=1;"},
                      RequestRow{"7", "Logins", "", "SESSIONID=0;STATIONID=7;CMD=Logins;"},
                      RequestRow{"", "Get", "", "SESSIONID=0;STATIONID=;CMD=Get;"},
                      RequestRow{"S 1", "set", "a=b", "SESSIONID=0;STATIONID=S 1;CMD=set;a=b"}));

// One reply per row, on a fresh channel whose counter is at 0.
struct ReplyRow {
    const char* name;
    std::string reply;
    int result;
    std::string rest;
    std::vector<LogCapture::Line> logAfterRequest;
    int origin = OAM_ORIGIN_SERVER;  // OamLastResultOrigin() after it
};

class ReplyHandling : public ::testing::TestWithParam<ReplyRow> {};

TEST_P(ReplyHandling, ResultRestAndLog) {
    const ReplyRow& row = GetParam();
    LogCapture log;
    FakeServer server({Action::reply(row.reply), Action::reply("SESSIONID=1;RETURNCODE=0;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    CString reply("stale");
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;", reply), row.result);
    EXPECT_EQ(OamLastResultOrigin(), row.origin);
    EXPECT_EQ(reply.str(), row.rest);

    std::vector<LogCapture::Line> expected = {{D, "Send Command:SESSIONID=0;STATIONID=1;CMD=Get;A=;"}};
    expected.insert(expected.end(), row.logAfterRequest.begin(), row.logAfterRequest.end());
    EXPECT_EQ(log.lines(), expected);

    // Whatever the reply said, the counter moved on by one.
    channel.SendCommand("1", "Get", "B=;");
    ASSERT_TRUE(server.waitRequests(2));
    EXPECT_EQ(server.requests()[1], "SESSIONID=1;STATIONID=1;CMD=Get;B=;");
}

std::string Big() {
    const std::string head = "SESSIONID=0;RETURNCODE=0;Big=";
    return oamtest::Padded(head, 59999) + ";";
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, ReplyHandling,
    ::testing::Values(
        ReplyRow{"Accepted", "SESSIONID=0;RETURNCODE=0;Value=5;", 0, "Value=5;",
                 {{D, "Return:SESSIONID=0;RETURNCODE=0;Value=5;"}}},
        ReplyRow{"SessionMismatch", "SESSIONID=7;RETURNCODE=0;", 0, "",
                 {{D, "Return:SESSIONID=7;RETURNCODE=0;"}, {R, "Ret Session error,Need:0 ret:7"}}},
        ReplyRow{"Refused", "SESSIONID=0;RETURNCODE=12;Busy;", 12, "Busy;",
                 {{D, "Return:SESSIONID=0;RETURNCODE=12;Busy;"}, {D, "Command return failed:Busy;"}}},
        // A refusal is not checked for its session number.
        ReplyRow{"RefusedOtherSession", "SESSIONID=9;RETURNCODE=3;", 3, "",
                 {{D, "Return:SESSIONID=9;RETURNCODE=3;"}, {D, "Command return failed:"}}},
        ReplyRow{"NoSessionPair", "RETURNCODE=0;X=1;", 0, "X=1;",
                 {{D, "Return:RETURNCODE=0;X=1;"}, {R, "Ret Session error,Need:0 ret:-1"}}},
        // The numbers of the library's own failures are the server's when
        // its reply carried them.
        ReplyRow{"RefusedWithMinusOne", "SESSIONID=0;RETURNCODE=-1;", -1, "",
                 {{D, "Return:SESSIONID=0;RETURNCODE=-1;"}, {D, "Command return failed:"}}},
        ReplyRow{"RefusedWithMinusTwo", "SESSIONID=0;RETURNCODE=-2;No;", -2, "No;",
                 {{D, "Return:SESSIONID=0;RETURNCODE=-2;No;"}, {D, "Command return failed:No;"}}},
        ReplyRow{"NeitherPair", " \t hello world;\r\n", -1, "hello world;",
                 {{D, "Return:hello world;"}, {D, "Command return failed:hello world;"}}, OAM_ORIGIN_LIBRARY},
        ReplyRow{"CodeSecondOnly", "X=1;SESSIONID=0;RETURNCODE=0;", -1, "X=1;SESSIONID=0;RETURNCODE=0;",
                 {{D, "Return:X=1;SESSIONID=0;RETURNCODE=0;"},
                  {D, "Command return failed:X=1;SESSIONID=0;RETURNCODE=0;"}},
                 OAM_ORIGIN_LIBRARY},
        ReplyRow{"Trimmed", "\r\n  SESSIONID=0;RETURNCODE=0;A=1;\v\f \n", 0, "A=1;",
                 {{D, "Return:SESSIONID=0;RETURNCODE=0;A=1;"}}},
        ReplyRow{"ZeroByteCuts", std::string("SESSIONID=0;RETURNCODE=0;A=1;\0B=2;", 35), 0, "A=1;",
                 {{D, "Return:SESSIONID=0;RETURNCODE=0;A=1;"}}},
        ReplyRow{"Largest", Big(), 0, Big().substr(25), {{D, "Return:" + Big()}}}),
    [](const ::testing::TestParamInfo<ReplyRow>& i) { return std::string(i.param.name); });

// Failures: what comes back, what is logged, and how the counter moves.
struct FailureRow {
    const char* name;
    Action action;
    int timeoutMs;
    std::string logPrefix;  // the one line after the request
    int sink;
};

// Each row also leaves no descriptor open.
class FailedExchange : public NoLeaks, public ::testing::WithParamInterface<FailureRow> {};

int g_callbacks = 0;
void CountCallback(LONG_PTR, LONG_PTR) { ++g_callbacks; }

TEST_P(FailedExchange, MinusOneCounterAdvancesNoLinkBreak) {
    const FailureRow& row = GetParam();
    LogCapture log;
    FakeServer server({row.action});
    CClientSocket channel;
    g_callbacks = 0;
    channel.SetWnd(nullptr, &CountCallback, 0);
    ASSERT_TRUE(Connect(channel, server, row.timeoutMs));
    CString reply("stale");
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;", reply), -1);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_TRUE(reply.IsEmpty());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].sink, row.sink);
    EXPECT_EQ(lines[1].text.substr(0, row.logPrefix.size()), row.logPrefix) << lines[1];
    EXPECT_EQ(g_callbacks, 0);
    EXPECT_EQ(log.count(D, "Sdk Link break."), 0);

    // The next exchange carries the next session number (on the same
    // connection when the server kept it).
    if (row.action.kind == Action::NoReply) {
        server.push(Action::reply("SESSIONID=1;RETURNCODE=0;"));
        EXPECT_EQ(channel.SendCommand("1", "Get", "B=;"), 0);
        EXPECT_EQ(server.requests().back(), "SESSIONID=1;STATIONID=1;CMD=Get;B=;");
    } else {
        log.clear();
        channel.SendCommand("1", "Get", "B=;");
        ASSERT_GE(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].text, "Send Command:SESSIONID=1;STATIONID=1;CMD=Get;B=;");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, FailedExchange,
    ::testing::Values(
        FailureRow{"NoReplyTimesOut", Action::none(), 150, "Command timeout:SESSIONID=0;STATIONID=1;CMD=Get;A=;", R},
        FailureRow{"ServerCloses", Action::close(), 5000, "Socket Error,received data len =0.Msg=", R},
        // A reset seen by the receive is a failed receive, not a link break.
        FailureRow{"ServerResets", Action::reset(), 5000, "Command timeout:SESSIONID=0;STATIONID=1;CMD=Get;A=;", R}),
    [](const ::testing::TestParamInfo<FailureRow>& i) { return std::string(i.param.name); });

TEST(Exchange, CreateSetsFifteenSecondTimeouts) {
    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;")});
    CClientSocket channel;
    ASSERT_TRUE(channel.Create(server.port(), "127.0.0.1"));
    int ms = 0, len = sizeof ms;
    ASSERT_EQ(win::getsockopt(channel.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&ms), &len), 0);
    EXPECT_EQ(ms, 15000);
    ASSERT_EQ(win::getsockopt(channel.GetSocket(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&ms), &len), 0);
    EXPECT_EQ(ms, 15000);
}

TEST(Exchange, LateReplyIsFlushedBeforeTheNextRequest) {
    LogCapture log;
    FakeServer server({Action::replyAfter(300, "SESSIONID=0;RETURNCODE=0;Late=1;"),
                       Action::reply("SESSIONID=1;RETURNCODE=0;Fresh=1;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server, 100));
    CString reply;
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;", reply), -1);
    ASSERT_TRUE(WaitPending(channel));
    EXPECT_EQ(channel.SendCommand("1", "Get", "B=;", reply), 0);
    EXPECT_EQ(reply, "Fresh=1;");
    EXPECT_EQ(log.count(R, "Ret Session error"), 0);
    EXPECT_EQ(log.count(D, "Return:SESSIONID=0;RETURNCODE=0;Late=1;"), 0);
}

TEST(Exchange, SplitReplyIsReadOnlyAsFarAsTheFirstReceive) {
    FakeServer server({Action::split("SESSIONID=0;RETURNCODE=0;Part=1;", 25, 100),
                       Action::reply("SESSIONID=1;RETURNCODE=0;Next=2;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    CString reply;
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;", reply), 0);
    EXPECT_EQ(reply, "");
    // The tail arrives after the first receive and is thrown away.
    ASSERT_TRUE(WaitPending(channel));
    EXPECT_EQ(channel.SendCommand("1", "Get", "B=;", reply), 0);
    EXPECT_EQ(reply, "Next=2;");
}

TEST(Exchange, ReplyBeyondTheBufferIsCutAndTheRestFlushed) {
    std::string head = "SESSIONID=0;RETURNCODE=0;Big=";
    std::string over = oamtest::Padded(head, 60000) + "TAIL;";
    FakeServer server({Action::reply(over), Action::reply("SESSIONID=1;RETURNCODE=0;Next=2;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    CString reply;
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;", reply), 0);
    EXPECT_LE(reply.GetLength(), 60000 - 25);
    EXPECT_EQ(reply.str().find("TAIL"), std::string::npos);
    EXPECT_EQ(channel.SendCommand("1", "Get", "B=;", reply), 0);
    EXPECT_EQ(reply, "Next=2;");
}

TEST(Exchange, SessionNumbersRunAcrossOutcomesAndConnections) {
    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;"), Action::none(),
                       Action::reply("SESSIONID=2;RETURNCODE=4;No;"), Action::close()});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server, 100));
    EXPECT_EQ(channel.SendCommand("1", "A", ""), 0);
    EXPECT_EQ(channel.SendCommand("1", "B", ""), -1);
    EXPECT_EQ(channel.SendCommand("1", "C", ""), 4);
    EXPECT_EQ(channel.SendCommand("1", "D", ""), -1);
    ASSERT_EQ(channel.Close(), 0);
    // A new connection does not restart the count.
    FakeServer second({Action::reply("SESSIONID=4;RETURNCODE=0;")});
    ASSERT_TRUE(Connect(channel, second));
    EXPECT_EQ(channel.SendCommand("1", "Login", ""), 0);
    std::vector<std::string> first = {"SESSIONID=0;STATIONID=1;CMD=A;", "SESSIONID=1;STATIONID=1;CMD=B;",
                                      "SESSIONID=2;STATIONID=1;CMD=C;", "SESSIONID=3;STATIONID=1;CMD=D;"};
    EXPECT_EQ(server.requests(), first);
    EXPECT_EQ(second.requests(), std::vector<std::string>{"SESSIONID=4;CMD=Login;"});
}

TEST(Exchange, WithoutAConnectionEveryCommandFailsAtTheSend) {
    LogCapture log;
    CClientSocket channel;
    g_callbacks = 0;
    channel.SetWnd(nullptr, &CountCallback, 0);
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
    EXPECT_EQ(channel.SendCommand("1", "Get", "A=;"), -1);
    // Not a connection error: no notice. The failed sends did not count.
    EXPECT_EQ(g_callbacks, 0);
    EXPECT_EQ(log.count(D, "Socket Error:"), 2);
    EXPECT_EQ(log.count(D, "Send Command:SESSIONID=0;"), 2);
    EXPECT_EQ(log.count(D, "Sdk Link break."), 0);
}

struct ReturnMsgRow {
    const char* name;
    Action action;
    int result;
    const char* message;
};

class ReceiveReturnMsg : public ::testing::TestWithParam<ReturnMsgRow> {};

TEST_P(ReceiveReturnMsg, ReadsOneReplyWithoutSending) {
    const ReturnMsgRow& row = GetParam();
    LogCapture log;
    // The first request prompts the reply under test; the read itself sends nothing.
    FakeServer server({Action::reply("SESSIONID=0;RETURNCODE=0;"), row.action,
                       Action::reply("SESSIONID=1;RETURNCODE=0;")});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server, 150));
    ASSERT_EQ(channel.SendCommand("1", "Get", ""), 0);
    // Prompt the server for the reply without going through an exchange.
    const unsigned char poke[] = "poke;";
    ASSERT_EQ(channel.Send(poke, 5), 5);
    CString message("stale");
    EXPECT_EQ(channel.ReceiveReturnMsg(message), row.result);
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(log.count(R, "Command timeout:"), row.result < 0 ? 1 : 0);
    // Neither the session check nor the counter moved.
    EXPECT_EQ(log.count(R, "Ret Session error"), 0);
    channel.SendCommand("1", "Get", "");
    ASSERT_TRUE(server.waitRequests(3));
    EXPECT_EQ(server.requests()[1], "poke;");
    EXPECT_EQ(server.requests()[2], "SESSIONID=1;STATIONID=1;CMD=Get;");
}

INSTANTIATE_TEST_SUITE_P(
    Exchange, ReceiveReturnMsg,
    ::testing::Values(ReturnMsgRow{"Accepted", Action::reply("SESSIONID=4;RETURNCODE=0;"), 0, ""},
                      ReturnMsgRow{"Refused", Action::reply("SESSIONID=4;RETURNCODE=5;Disk full;"), 0, "Disk full;"},
                      ReturnMsgRow{"NoCode", Action::reply("whatever"), 0, "whatever"},
                      ReturnMsgRow{"Nothing", Action::none(), -1, ""}),
    [](const ::testing::TestParamInfo<ReturnMsgRow>& i) { return std::string(i.param.name); });

TEST(Exchange, ReceiveReturnMsgLogsAnEmptyTimeoutText) {
    LogCapture log;
    CClientSocket channel;
    CString message;
    EXPECT_EQ(channel.ReceiveReturnMsg(message), -1);
    EXPECT_EQ(log.lines(), (std::vector<LogCapture::Line>{{R, "Command timeout:"}}));
}

}  // namespace
}  // namespace oamtest
