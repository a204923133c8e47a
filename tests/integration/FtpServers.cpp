#include "FtpServers.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string_view>

#include "support/TempDir.h"

namespace koruvan::test {
namespace {

constexpr const char* kPamService = "koruvan-ftp-test";
// Debian's FTP servers conflict with one another: bootstrap.sh unpacks pure-ftpd here when
// vsftpd is the installed one.
constexpr const char* kUnpackedPureFtpd = "/opt/koruvan/pure-ftpd";

// A pure-ftpd program: from PATH, else from the unpacked package.
std::string PureFtpdProgram(const std::string& name, const std::string& folder) {
    const std::string installed = FindProgram(name);
    if (!installed.empty()) {
        return installed;
    }
    const std::string unpacked = std::string(kUnpackedPureFtpd) + "/usr/" + folder + "/" + name;
    return access(unpacked.c_str(), X_OK) == 0 ? unpacked : std::string();
}

}  // namespace

std::string FtpServer::Url(const std::string& path, const std::string& login) const {
    return "ftp://" + (login.empty() ? "" : login + "@") + "127.0.0.1:" + std::to_string(port_) +
           path;
}

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
         << (anonymousAtUser_ ? "no_anon_password=YES\n" : "")
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

std::string VsftpdServer::Log() const {
    return ReadFile(workDir_ + "/vsftpd.log");
}

std::uint64_t VsftpdServer::SentBytes() const {
    static const std::regex kTransfer(R"((?:OK|FAIL) DOWNLOAD: [^\n]*?, (\d+) bytes)");
    const std::string log = Log();
    std::uint64_t total = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), kTransfer), end; it != end; ++it) {
        total += std::stoull((*it)[1].str());
    }
    return total;
}

PureFtpdServer::PureFtpdServer(std::string workDir, std::string root)
    : workDir_(std::move(workDir)), root_(std::move(root)) {}

bool PureFtpdServer::Available(std::string& why) {
    if (PureFtpdProgram("pure-ftpd", "sbin").empty() || PureFtpdProgram("pure-pw", "bin").empty()) {
        why = "pure-ftpd is not installed (scripts/bootstrap.sh unpacks it)";
        return false;
    }
    if (geteuid() != 0 || FindProgram("unshare").empty()) {
        why = "pure-ftpd's anonymous root needs root and unshare (a private mount namespace)";
        return false;
    }
    const passwd* ftp = getpwnam("ftp");
    if (ftp == nullptr || !std::filesystem::is_directory(ftp->pw_dir)) {
        why = "there is no \"ftp\" account with a home folder (vsftpd's package makes it)";
        return false;
    }
    return true;
}

// The password database, from a password file in pure-pw's format. The password is kept as
// a SHA-512 crypt hash (`openssl passwd -6 -salt abcdefgh s3cret`): the hash pure-pw makes
// itself takes a second of CPU per login, which ten connections logging in at once turn
// into a long wait.
bool PureFtpdServer::WriteUserLogin() {
    static_assert(std::string_view(kPassword) == "s3cret", "the hash below is of this password");
    const passwd* ftp = getpwnam("ftp");
    if (ftp == nullptr) {
        return false;
    }
    WriteFile(workDir_ + "/passwd", std::string(kUser) +
                                        ":$6$abcdefgh$Z7KfoKnKTSZrzo5VZ0YubGLQOj9ov6sHo9TmE3zIU/"
                                        "LHKhpE30zCnZ0mcIXYf9r9rQ4DYaXoxAFSPFlcWdxjB.:" +
                                        std::to_string(ftp->pw_uid) + ":" +
                                        std::to_string(ftp->pw_gid) + "::" + root_ +
                                        "/./::::::::::::\n");
    const std::string command = PureFtpdProgram("pure-pw", "bin") + " mkdb " + workDir_ +
                                "/users.pdb -f " + workDir_ + "/passwd >/dev/null";
    return std::system(command.c_str()) == 0;
}

bool PureFtpdServer::Start(std::uint64_t maxRate, bool withUser) {
    Stop();
    std::filesystem::create_directories(workDir_);
    if (withUser && !WriteUserLogin()) {
        return false;
    }
    if (port_ == 0) {
        port_ = FreeTcpPort();  // a restart keeps the port
    }
    std::string command = PureFtpdProgram("pure-ftpd", "sbin") + " -S 127.0.0.1," +
                          std::to_string(port_) + " -H -O clf:" + workDir_ + "/transfers.log";
    if (maxRate > 0) {
        // KB/s per session, for the anonymous (-t) or the virtual user (-T).
        command += (withUser ? " -T " : " -t ") +
                   std::to_string(std::max<std::uint64_t>(maxRate / 1024, 1));
    }
    if (withUser) {
        command += " -E -l puredb:" + workDir_ + "/users.pdb";
    }
    const std::string home = getpwnam("ftp") != nullptr ? getpwnam("ftp")->pw_dir : "/srv/ftp";
    const bool started =
        process_.Start({"unshare", "--mount", "--propagation", "private", "sh", "-c",
                        "mount --bind " + root_ + " " + home + " && exec " + command},
                       workDir_ + "/stderr.log");
    return started && WaitForTcpPort(port_);
}

std::string PureFtpdServer::Log() const {
    return ReadFile(workDir_ + "/transfers.log");
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
