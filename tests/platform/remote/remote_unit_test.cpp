// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers

// The pieces of a remote connection that need no peer: machine names, the ssh command line
// (DORNEL_SSH split without a shell), and the framing that both ends read.

#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/remote/connection.h"
#include "platform/remote/frame.h"

namespace {

using namespace platform::remote;
using Words = std::vector<std::string>;

TEST(RemoteMachineName, FormsAreTakenApartAndOptionLikeNamesRefused) {
    std::string error;
    auto m = ParseMachine("\\\\admin@boxserver:2222", &error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->user, "admin");
    EXPECT_EQ(m->host, "boxserver");
    EXPECT_EQ(m->port, 2222);
    m = ParseMachine("boxserver", &error);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->user, "");
    EXPECT_EQ(m->port, 0);
    m = ParseMachine("10.1.2.3:22", &error);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->host, "10.1.2.3");

    // Anything ssh could take for an option, or that splits into words, never gets there.
    for (const char* bad :
         {"", "\\\\", "-oProxyCommand=touch /tmp/x", "host name", "a@-b", "-l@host", "host:0",
          "host:65536", "host:22x", "host:", "@host", "ho\nst", "host\\share"}) {
        EXPECT_FALSE(ParseMachine(bad, &error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(RemoteMachineName, ThisHostsOwnNameIsLocalButAUserOrPortIsNot) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::string upper = host;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(IsLocalMachine(nullptr));
    EXPECT_TRUE(IsLocalMachine(""));
    EXPECT_TRUE(IsLocalMachine(host));
    EXPECT_TRUE(IsLocalMachine(("\\\\" + upper).c_str()));
    EXPECT_FALSE(IsLocalMachine((std::string("root@") + host).c_str()));
    EXPECT_FALSE(IsLocalMachine((std::string(host) + ":22").c_str()));
    EXPECT_FALSE(IsLocalMachine("some-other-machine"));
}

TEST(RemoteSshCommand, DornelSshIsSplitLikeAShellWordListAndNothingIsExpanded) {
    std::string error;
    EXPECT_EQ(*SplitWords("ssh -F /etc/dornel/ssh_config", &error),
              (Words{"ssh", "-F", "/etc/dornel/ssh_config"}));
    EXPECT_EQ(*SplitWords("  ssh\t-F  '/my dir/cfg'  ", &error),
              (Words{"ssh", "-F", "/my dir/cfg"}));
    EXPECT_EQ(*SplitWords(R"(ssh -o "ProxyCommand=nc %h \"22\"" a\ b '$HOME' "$HOME" `x`)", &error),
              (Words{"ssh", "-o", "ProxyCommand=nc %h \"22\"", "a b", "$HOME", "$HOME", "`x`"}));
    EXPECT_EQ(*SplitWords(R"(x""y '' "")", &error), (Words{"xy", "", ""}));
    EXPECT_FALSE(SplitWords("ssh -F 'unterminated", &error));
    EXPECT_FALSE(SplitWords("ssh \"unterminated", &error));
}

TEST(RemoteSshCommand, BatchModeUserPortAndTheRemoteProgramAreAddedAfterTheSitesWords) {
    std::string error;
    const Machine machine{"admin", "boxserver", 2222};
    auto command = SshCommand(machine, "dornelreg --serve", Prompting::Batch,
                              "ssh -F '/etc/dornel/ssh config'", &error);
    ASSERT_TRUE(command) << error;
    EXPECT_EQ(*command,
              (Words{"ssh", "-F", "/etc/dornel/ssh config", "-o", "BatchMode=yes", "-p", "2222",
                     "-l", "admin", "-T", "--", "boxserver", "dornelreg --serve"}));
    // Interactive mode leaves prompting to ssh (and its askpass program); no DORNEL_SSH is
    // plain ssh with the site's own configuration.
    command = SshCommand(Machine{"", "boxserver", 0}, "dornelsc --serve", Prompting::Interactive,
                         nullptr, &error);
    ASSERT_TRUE(command);
    EXPECT_EQ(*command, (Words{"ssh", "-T", "--", "boxserver", "dornelsc --serve"}));
    EXPECT_FALSE(SshCommand(machine, "x", Prompting::Batch, "   ", &error));
    EXPECT_FALSE(SshCommand(machine, "x", Prompting::Batch, "ssh 'open", &error));
}

TEST(RemoteFrame, FieldsRoundTripAndEveryTruncationIsRefused) {
    Writer writer;
    const std::vector<BYTE> bytes{0, 1, 2, 0xff};
    writer.U32(0xA1B2C3D4).Text("Box000").Bytes(bytes).Text("");
    const std::string frame = Frame(writer.Payload());
    EXPECT_EQ(frame.substr(0, 4), std::string("\x1a\0\0\0", 4));

    std::string_view payload;
    std::size_t used = 0;
    const std::string buffer = frame + "rest";
    ASSERT_EQ(TakeFrame(buffer, &payload, &used), FrameStatus::Complete);
    EXPECT_EQ(used, frame.size());
    Reader reader(payload);
    std::uint32_t number = 0;
    std::string text;
    std::vector<BYTE> data;
    ASSERT_TRUE(reader.U32(&number) && reader.Text(&text) && reader.Bytes(&data));
    EXPECT_EQ(number, 0xA1B2C3D4u);
    EXPECT_EQ(text, "Box000");
    EXPECT_EQ(data, bytes);
    ASSERT_TRUE(reader.Text(&text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(reader.AtEnd());
    EXPECT_FALSE(reader.U32(&number));

    for (std::size_t cut = 0; cut < frame.size(); ++cut) {
        EXPECT_EQ(TakeFrame(std::string_view(frame).substr(0, cut), &payload, &used),
                  FrameStatus::Partial);
    }
    // A length beyond the limit is a broken peer, not a reason to wait for 4 GiB.
    EXPECT_EQ(TakeFrame(std::string("\xff\xff\xff\xff", 4), &payload, &used),
              FrameStatus::TooLarge);
    // A text whose length points past the payload is refused and nothing past it is read.
    Writer lying;
    lying.U32(1000);
    const std::string lie = lying.Payload() + "abc";
    Reader short_reader(lie);
    EXPECT_FALSE(short_reader.Text(&text));
    EXPECT_FALSE(short_reader.U32(&number));
}

}  // namespace
