// plexorectl ipc, run as the real binary over streams written by IPC::CMessage.
#include <gtest/gtest.h>

#include <string>

#include "ipc/ipc_message.h"
#include "ipc/ipc_message_utils.h"
#include "ipc/ipc_test_util.h"
#include "support/temp_env.h"

namespace {

using testing_support::RunCommand;

class PlexorectlIpcTest : public ::testing::Test {
 protected:
  // Runs "plexorectl ipc <file> <extra>" over `bytes`; returns the exit code.
  int Run(const std::string& bytes, const std::string& extra, std::string* out) {
    const std::string file = dir_.File("stream.bin");
    testing_support::WriteFileOrDie(file, bytes);
    return RunCommand(std::string(PLEXORECTL_PATH) + " ipc " + file + " " + extra, out);
  }
  testing_support::ScopedTempDir dir_;
};

TEST_F(PlexorectlIpcTest, DecodesHeadersFlagsPayloadAndShapedValues) {
  IPC::CMessage sync(true, 0x07000011);
  sync.set_routing_id(5);
  sync.SetDispatchWhileBlocked();
  sync.WriteInt(-3);
  sync.WriteString(u"h\u00e9");
  const std::string stream = ipc_test::WireBytes(IPC::CMsgHello(1234)) + ipc_test::WireBytes(sync);
  std::string out;
  ASSERT_EQ(Run(stream, "--shape int,string", &out), 0) << out;
  const std::string serial = std::to_string(sync.serial_number());
  for (const std::string& expected : {
           std::string("message 1 at offset 0: 32 bytes\n"),
           std::string("  type               0x00000001 (hello)\n"),
           std::string("  int      1234 (process id)\n"),
           std::string("message 2 at offset 32: 52 bytes\n"),
           std::string("  routing_id         5\n"),
           std::string("  flags              0x9 sync|dispatch-while-blocked\n"),
           std::string("  serial_number      " + serial + "\n"),
           std::string("  payload fd ff ff ff 02 00 00 00 68 00 e9 00\n"),
           std::string("  int      -3\n"),
           std::string("  string   \"h\xC3\xA9\"\n"),
           std::string("2 messages\n"),
       }) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << " in\n" << out;
  }
}

TEST_F(PlexorectlIpcTest, IncompleteTailIsReportedWithItsByteCount) {
  IPC::CMessage m(false, 7);
  m.WriteString(u"abcdef");
  const std::string wire = ipc_test::WireBytes(m);
  std::string out;
  EXPECT_EQ(Run(wire + wire.substr(0, 30), "", &out), 1);
  EXPECT_NE(out.find("incomplete message at offset 44: 30 bytes of 44\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("1 message\n"), std::string::npos);
  EXPECT_EQ(Run(wire.substr(0, 10), "", &out), 1);
  EXPECT_NE(out.find("10 bytes (shorter than a header)"), std::string::npos) << out;
}

TEST_F(PlexorectlIpcTest, PayloadThatDoesNotFitTheShapeFails) {
  IPC::CMessage m(false, 7);
  m.WriteInt(1);
  std::string out;
  EXPECT_EQ(Run(ipc_test::WireBytes(m), "--shape int,string", &out), 1);
  EXPECT_NE(out.find("value 2 does not fit the payload"), std::string::npos) << out;
  EXPECT_EQ(Run(ipc_test::WireBytes(m), "--shape int64", &out), 1);
  EXPECT_EQ(Run(ipc_test::WireBytes(m), "--shape float", &out), 2);
}

}  // namespace
