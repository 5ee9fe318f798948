// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// The NetWare client calls against a real slapd on loopback: logins that prove a password
// and nothing else, the tree's server from the registry, names no user can bend, servers
// that are gone or never answer, and the context handles' bookkeeping.

#include "platform/netware/netware.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <ldap.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/registry/registry.h"
#include "tests/fixtures/backends/testsupport.h"
#include "tests/fixtures/ldap/slapd.h"

namespace {

using namespace std::chrono_literals;
using platform::netware::OpenContextCount;

constexpr const char* kTreesKey = "SOFTWARE\\Orvane Technology\\ZuvexBox\\NDS";

void SetNumber(const std::string& name, DWORD number) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTreesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetText(const std::string& name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTreesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)),
        ERROR_SUCCESS);
    RegCloseKey(key);
}

// One context handle of a test, freed at the end.
class Context {
  public:
    explicit Context(const std::string& tree = {}, const std::string& nameContext = {}) {
        created_ = NWDSCreateContextHandle(&handle_) == 0;
        if (!tree.empty()) tree_ = NWDSSetContext(handle_, DCK_TREE_NAME, tree.c_str());
        if (!nameContext.empty()) {
            context_ = NWDSSetContext(handle_, DCK_NAME_CONTEXT, nameContext.c_str());
        }
    }
    ~Context() {
        if (created_) NWDSFreeContext(handle_);
    }
    bool Ready() const { return created_ && tree_ == 0 && context_ == 0; }
    NWDSContextHandle Get() const { return handle_; }
    NWDSCCODE Login(const std::string& name, const std::string& password) {
        return NWDSLogin(handle_, 0, name.c_str(), password.c_str(), 0);
    }

  private:
    NWDSContextHandle handle_ = 0;
    bool created_ = false;
    NWDSCCODE tree_ = 0;
    NWDSCCODE context_ = 0;
};

class NetwareDirectory : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { slapd_ = ldaptest::StartPolicyServer(); }
    static void TearDownTestSuite() { slapd_.reset(); }
    void SetUp() override {
        if (!ldaptest::Slapd::Available()) GTEST_SKIP() << "slapd is not installed";
        ASSERT_NE(slapd_, nullptr) << "slapd did not start";
        SetText("ACME", slapd_->Uri());
        SetText("", slapd_->Uri());
        openBefore_ = OpenContextCount();
    }
    void TearDown() override { EXPECT_EQ(OpenContextCount(), openBefore_); }

    static std::unique_ptr<ldaptest::Slapd> slapd_;
    backendtest::TempRoot root_;
    std::size_t openBefore_ = 0;
};

std::unique_ptr<ldaptest::Slapd> NetwareDirectory::slapd_;

TEST_F(NetwareDirectory, ALoginProvesThePasswordOfTheNamedEntry) {
    Context full;
    ASSERT_TRUE(full.Ready());
    EXPECT_EQ(full.Login("ajones.staff.acme", ldaptest::kStaffPassword), 0)
        << platform::netware::LastErrorText();
    EXPECT_EQ(NWDSLogout(full.Get()), 0);
    EXPECT_EQ(full.Login("ajones.staff.acme", "not-it"), ERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(full.Login("nobody.staff.acme", "whatever"), ERR_NO_SUCH_ENTRY);
    // The user's own password, not another's, and not in another context.
    EXPECT_EQ(full.Login("jsmith.staff.acme", ldaptest::kStudentPassword), ERR_NO_SUCH_ENTRY);

    // The tree is found without regard to case; the name is relative to the context.
    Context students("acme", "students.acme");
    ASSERT_TRUE(students.Ready());
    EXPECT_EQ(students.Login("jsmith", ldaptest::kStudentPassword), 0);
    EXPECT_EQ(students.Login(".ajones.staff.acme", ldaptest::kStaffPassword), 0);
    EXPECT_EQ(students.Login("ajones", ldaptest::kStaffPassword), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(NWDSLogout(students.Get()), 0);
    // Typeful names are honoured as typed.
    Context typed;
    EXPECT_EQ(typed.Login("cn=jsmith.ou=students.o=acme", ldaptest::kStudentPassword), 0);
}

TEST_F(NetwareDirectory, APasswordThatMustBeChangedLogsInAsExpired) {
    Context students("ACME", "students.acme");
    ASSERT_TRUE(students.Ready());
    EXPECT_EQ(students.Login("reset", ldaptest::kResetPassword), ERR_PASSWORD_EXPIRED)
        << platform::netware::LastErrorText();
    EXPECT_EQ(NWDSLogout(students.Get()), 0);
    EXPECT_EQ(students.Login("reset", "not-it"), ERR_FAILED_AUTHENTICATION);
    // The policy leaves other users alone.
    EXPECT_EQ(students.Login("jsmith", ldaptest::kStudentPassword), 0);
}

TEST_F(NetwareDirectory, AnEmptyPasswordIsRefusedBeforeAnyBind) {
    // This directory answers an unauthenticated bind (a DN with no password) with success.
    ldaptest::Slapd lax({}, "allow bind_anon_dn\n");
    ASSERT_TRUE(lax.Start());
    LDAP* ld = nullptr;
    ASSERT_EQ(ldap_initialize(&ld, lax.Uri().c_str()), LDAP_SUCCESS);
    const int version = LDAP_VERSION3;
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    berval empty{0, const_cast<char*>("")};
    EXPECT_EQ(ldap_sasl_bind_s(ld, "cn=jsmith,ou=students,o=acme", LDAP_SASL_SIMPLE, &empty,
                               nullptr, nullptr, nullptr),
              LDAP_SUCCESS);
    ldap_unbind_ext_s(ld, nullptr, nullptr);

    SetText("LAX", lax.Uri());
    Context context("LAX", "students.acme");
    ASSERT_TRUE(context.Ready());
    EXPECT_EQ(context.Login("jsmith", ""), ERR_FAILED_AUTHENTICATION);
    EXPECT_EQ(context.Login("jsmith", ldaptest::kStudentPassword), 0);
}

TEST_F(NetwareDirectory, NamesWithDnCharactersCannotReachAnotherEntry) {
    Context staff("ACME", "staff.acme");
    ASSERT_TRUE(staff.Ready());
    EXPECT_EQ(staff.Login("o'brien, jr+x", ldaptest::kQuotePassword), 0)
        << platform::netware::LastErrorText();
    // jsmith lives in students: a name that would splice that into the DN finds nothing.
    EXPECT_NE(staff.Login("jsmith,ou=students", ldaptest::kStudentPassword), 0);
    EXPECT_NE(staff.Login("cn=jsmith,ou=students,o=acme", ldaptest::kStudentPassword), 0);
    EXPECT_NE(staff.Login("jsmith\\.students", ldaptest::kStudentPassword), 0);
    EXPECT_EQ(staff.Login("jsmith.students", ldaptest::kStudentPassword), ERR_NO_SUCH_ENTRY);
    EXPECT_EQ(staff.Login(".jsmith.students.acme", ldaptest::kStudentPassword), 0);
    EXPECT_EQ(staff.Login("a..b", "x"), ERR_INVALID_NAME);
}

TEST_F(NetwareDirectory, AnUnknownTreeOrAGoneServerIsUnreachable) {
    Context unknown("NOSUCHTREE", "staff.acme");
    ASSERT_TRUE(unknown.Ready());
    EXPECT_EQ(unknown.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);

    ldaptest::Slapd gone;
    ASSERT_TRUE(gone.Start());
    SetText("GONE", gone.Uri());
    Context context("gone", "staff.acme");
    ASSERT_TRUE(context.Ready());
    EXPECT_EQ(context.Login("ajones", ldaptest::kStaffPassword), 0);
    gone.Stop();
    EXPECT_EQ(context.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
    EXPECT_EQ(NWDSLogout(context.Get()), 0);

    SetText("BAD", "not a uri");
    Context bad("BAD");
    EXPECT_EQ(bad.Login("ajones.staff.acme", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
}

TEST_F(NetwareDirectory, AServerThatNeverAnswersEndsTheLoginInBoundedTime) {
    // Accepts connections (the kernel does) and never says a word.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    SetText("MUTE", "ldap://127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
    Context context("MUTE", "staff.acme");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(context.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
    // A guard against a hang, far above the operation limit, not a speed target.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(3 * kOperationTimeoutSeconds));
    close(fd);
}

// A test CA and a certificate for 127.0.0.1 that it signed, made with openssl in folder.
bool MakeCertificates(const std::string& folder) {
    backendtest::WriteFile(folder + "/san.ext", "subjectAltName=IP:127.0.0.1\n");
    return backendtest::RunCommand({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                    "-keyout", folder + "/ca.key", "-out", folder + "/ca.pem",
                                    "-subj", "/CN=Dornel Test CA", "-days", "2"},
                                   {}, true) == 0 &&
           backendtest::RunCommand(
               {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout",
                folder + "/server.key", "-out", folder + "/server.csr", "-subj", "/CN=127.0.0.1"},
               {}, true) == 0 &&
           backendtest::RunCommand(
               {"openssl", "x509", "-req", "-in", folder + "/server.csr", "-CA", folder + "/ca.pem",
                "-CAkey", folder + "/ca.key", "-CAcreateserial", "-out", folder + "/server.pem",
                "-days", "2", "-extfile", folder + "/san.ext"},
               {}, true) == 0;
}

TEST_F(NetwareDirectory, TlsIsVerifiedAgainstTheTreesCaAndNeverFallsBackToClear) {
    if (backendtest::RunCommand({"openssl", "version"}, {}, true) != 0) {
        GTEST_SKIP() << "openssl is not installed";
    }
    const std::string certificates = root_ / "c/certs";
    std::filesystem::create_directories(certificates);
    ASSERT_TRUE(MakeCertificates(certificates));
    const std::string tls = "TLSCACertificateFile " + certificates + "/ca.pem\n" +
                            "TLSCertificateFile " + certificates + "/server.pem\n" +
                            "TLSCertificateKeyFile " + certificates + "/server.key\n";
    ldaptest::Slapd startTls({}, tls);
    ASSERT_TRUE(startTls.Start());
    ldaptest::Slapd ldaps({}, tls);
    ldaps.UseLdaps();
    ASSERT_TRUE(ldaps.Start());

    SetText("STARTTLS", startTls.Uri());
    SetNumber("STARTTLS.StartTLS", 1);
    SetText("LDAPS", ldaps.Uri());
    Context viaStartTls("STARTTLS", "staff.acme");
    Context viaLdaps("LDAPS", "staff.acme");
    // Without the site's CA the server's certificate is not trusted: no login at all.
    EXPECT_EQ(viaStartTls.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
    EXPECT_EQ(viaLdaps.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
    // The CA file as a system path (under the root) or as a native one.
    SetText("STARTTLS.CACert", "C:\\certs\\ca.pem");
    SetText("LDAPS.CACert", certificates + "/ca.pem");
    EXPECT_EQ(viaStartTls.Login("ajones", ldaptest::kStaffPassword), 0)
        << platform::netware::LastErrorText();
    EXPECT_EQ(viaLdaps.Login("ajones", ldaptest::kStaffPassword), 0)
        << platform::netware::LastErrorText();
    EXPECT_EQ(viaLdaps.Login("ajones", "not-it"), ERR_FAILED_AUTHENTICATION);
    // A server that offers no TLS fails a StartTLS tree instead of binding in clear.
    SetNumber("ACME.StartTLS", 1);
    Context plain("ACME", "staff.acme");
    EXPECT_EQ(plain.Login("ajones", ldaptest::kStaffPassword), ERR_TRANSPORT_FAILURE);
    SetNumber("ACME.StartTLS", 0);
    EXPECT_EQ(plain.Login("ajones", ldaptest::kStaffPassword), 0);
}

TEST_F(NetwareDirectory, ContextHandlesAndKeysAreChecked) {
    NWDSContextHandle handle = 0;
    ASSERT_EQ(NWDSCreateContextHandle(&handle), 0);
    EXPECT_EQ(OpenContextCount(), openBefore_ + 1);
    EXPECT_EQ(NWDSSetContext(handle, 7, "x"), ERR_BAD_KEY);
    EXPECT_EQ(NWDSSetContext(handle, DCK_NAME_CONTEXT, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(NWDSSetContext(handle, DCK_NAME_CONTEXT, "staff..acme"), ERR_INVALID_NAME);
    EXPECT_EQ(NWDSSetContext(handle, DCK_NAME_CONTEXT, "[Root]"), 0);
    EXPECT_EQ(NWDSSetContext(handle, DCK_TREE_NAME, "ACME"), 0);
    EXPECT_EQ(NWDSLogin(handle, 0, "ajones.staff.acme", ldaptest::kStaffPassword, 0), 0);
    // Freeing ends the login; the handle is dead afterwards and never handed out again.
    EXPECT_EQ(NWDSFreeContext(handle), 0);
    EXPECT_EQ(NWDSFreeContext(handle), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSSetContext(handle, DCK_TREE_NAME, "ACME"), ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSLogin(handle, 0, "ajones.staff.acme", ldaptest::kStaffPassword, 0),
              ERR_BAD_CONTEXT);
    EXPECT_EQ(NWDSLogout(handle), ERR_BAD_CONTEXT);
    NWDSContextHandle next = 0;
    ASSERT_EQ(NWDSCreateContextHandle(&next), 0);
    EXPECT_NE(next, handle);
    EXPECT_EQ(NWDSFreeContext(next), 0);

    EXPECT_EQ(NWCallsInit(nullptr, nullptr), 0);
    LCONV lconv{};
    ASSERT_EQ(NWLlocaleconv(&lconv), 0);
    EXPECT_EQ(NWInitUnicodeTables(lconv.country_id, lconv.code_page), 0);
    EXPECT_EQ(NWFreeUnicodeTables(), 0);
    EXPECT_EQ(NWInitUnicodeTables(1, 437), ERR_UNICODE_TABLES);
}

TEST_F(NetwareDirectory, ManyThreadsLogInAtOnceEachOnItsOwnHandle) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                Context context("ACME", t % 2 == 0 ? "students.acme" : "staff.acme");
                const bool student = t % 2 == 0;
                if (context.Login(
                        student ? "jsmith" : "ajones",
                        student ? ldaptest::kStudentPassword : ldaptest::kStaffPassword) != 0 ||
                    context.Login(student ? "jsmith" : "ajones", "wrong") !=
                        ERR_FAILED_AUTHENTICATION) {
                    ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
