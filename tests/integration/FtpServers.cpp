#include "FtpServers.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "support/TempDir.h"

namespace koruvan::test {
namespace {

constexpr const char* kPamService = "koruvan-ftp-test";

}  // namespace

VsftpdServer::VsftpdServer(std::string workDir, std::string root)
    : workDir_(std::move(workDir)), root_(std::move(root)) {}

bool VsftpdServer::UserLoginAvailable(std::string& why) {
    if (geteuid() != 0) {
        why = "the virtual FTP user needs root (a private mount namespace)";
        return false;
    }
    if (FindProgram("unshare").empty()) {
        why = "unshare is not installed";
        return false;
    }
    if (!std::filesystem::exists("/lib/x86_64-linux-gnu/security/pam_userdb.so") &&
        !std::filesystem::exists("/usr/lib/x86_64-linux-gnu/security/pam_userdb.so")) {
        why = "pam_userdb is not installed";
        return false;
    }
    return true;
}

// The user database (Berkeley DB, written by Debian's python3 through its ndbm module) and
// the PAM service that checks it.
bool VsftpdServer::WriteUserLogin() {
    std::filesystem::create_directories(workDir_ + "/pam.d");
    const std::string db = workDir_ + "/users";
    const std::string command = "/usr/bin/python3 -c \"import dbm.ndbm; d = dbm.ndbm.open('" + db +
                                "', 'n'); d[b'" + kUser + "'] = b'" + kPassword + "'; d.close()\"";
    if (std::system(command.c_str()) != 0) {
        return false;
    }
    WriteFile(workDir_ + "/pam.d/" + kPamService,
              "auth required pam_userdb.so db=" + db +
                  "\naccount required pam_permit.so\nsession required pam_permit.so\n");
    return true;
}

bool VsftpdServer::Start(std::uint64_t maxRate, bool withUser) {
    Stop();
    std::filesystem::create_directories(workDir_);
    if (withUser && !WriteUserLogin()) {
        return false;
    }
    if (port_ == 0) {
        port_ = FreeTcpPort();  // a restart keeps the port
    }
    std::ostringstream conf;
    conf << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port_ << "\n"
         << "background=NO\nanonymous_enable=YES\nanon_root=" << root_ << "\n"
         << "pasv_enable=YES\npasv_address=127.0.0.1\nwrite_enable=NO\n"
         << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
         << "max_per_ip=0\nmax_clients=0\n"
         << "xferlog_enable=YES\nlog_ftp_protocol=YES\nvsftpd_log_file=" << workDir_
         << "/vsftpd.log\nsecure_chroot_dir=/var/run/vsftpd/empty\n";
    if (maxRate > 0) {
        conf << "anon_max_rate=" << maxRate << "\nlocal_max_rate=" << maxRate << "\n";
    }
    if (withUser) {
        conf << "local_enable=YES\nguest_enable=YES\nguest_username=ftp\nlocal_root=" << root_
             << "\nchroot_local_user=YES\npam_service_name=" << kPamService << "\n";
    } else {
        conf << "local_enable=NO\n";
    }
    const std::string confPath = workDir_ + "/vsftpd.conf";
    WriteFile(confPath, conf.str());
    bool started = false;
    if (withUser) {
        started = process_.Start(
            {"unshare", "--mount", "--propagation", "private", "sh", "-c",
             "mount --bind " + workDir_ + "/pam.d /etc/pam.d && exec vsftpd " + confPath},
            workDir_ + "/stderr.log");
    } else {
        started = process_.Start({"vsftpd", confPath}, workDir_ + "/stderr.log");
    }
    return started && WaitForTcpPort(port_);
}

std::string VsftpdServer::Url(const std::string& path, const std::string& login) const {
    return "ftp://" + (login.empty() ? "" : login + "@") + "127.0.0.1:" + std::to_string(port_) +
           path;
}

std::string VsftpdServer::Log() const {
    return ReadFile(workDir_ + "/vsftpd.log");
}

std::uint64_t VsftpdServer::SentBytes() const {
    static const std::regex kTransfer(R"((OK|FAIL) DOWNLOAD: [^\n]*?, (\d+) bytes)");
    const std::string log = Log();
    std::uint64_t total = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), kTransfer), end; it != end; ++it) {
        total += std::stoull((*it)[2].str());
    }
    return total;
}

bool ScriptedFtpServer::Start(const std::string& root, const std::string& mode,
                              const std::string& log, std::uint64_t after) {
    port_ = FreeTcpPort();
    std::vector<std::string> argv = {
        "/usr/bin/python3",
        std::string(KORUVAN_SOURCE_DIR) + "/tests/integration/fixtures/scripted_ftp.py",
        "--root",
        root,
        "--port",
        std::to_string(port_),
        "--mode",
        mode};
    if (!log.empty()) {
        argv.insert(argv.end(), {"--log", log});
    }
    if (after > 0) {
        argv.insert(argv.end(), {"--after", std::to_string(after)});
    }
    return process_.Start(argv) && WaitForTcpPort(port_);
}

std::string ScriptedFtpServer::Url(const std::string& path) const {
    return "ftp://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace koruvan::test
