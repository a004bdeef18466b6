// The network interface's configuration form and its connection test (see hostcfg.h).
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <strings.h>

#include "platform/inifile.h"
#include "platform/syserror.h"
#include "setup/hostcfg/hostcfg.h"
#include "setup/toolkit/form.h"

namespace {

constexpr const char* kDefaultBackendPort = "5432";
constexpr int kTestTimeoutMs = 3000;


// Splits "host", "host:port" or "[v6]:port".
void SplitHostPort(const std::string& text, std::string& host, std::string& port) {
    host = text;
    port = kDefaultBackendPort;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close != std::string::npos) {
            host = text.substr(1, close - 1);
            if (close + 1 < text.size() && text[close + 1] == ':')
                port = text.substr(close + 2);
        }
        return;
    }
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
}

// 1 connected, 0 refused, -2 timed out, -1 other failure (errno value in `error`).
int ConnectOnce(const addrinfo* ai, int timeoutMs, int& error) {
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int result = 1;
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
            result = error == ECONNREFUSED ? 0 : -1;
        } else {
            pollfd p{fd, POLLOUT, 0};
            const int rc = poll(&p, 1, timeoutMs);
            socklen_t len = sizeof error;
            if (rc == 0)
                result = -2;
            else if (rc < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                result = -1, error = errno;
            else if (error != 0)
                result = error == ECONNREFUSED ? 0 : -1;
        }
    }
    close(fd);
    return result;
}

class CHostListForm : public CDialogForm {
public:
    CHostListForm(const std::string& library, const std::string& instance)
        : CDialogForm("配置网络模式接口 " + library + " -- 实例 " + instance) {
        Add(EControl::Label, 0, "Lumo server 或 Kaltro server 地址表 (主机[:端口], 缺省端口 5432):");
        Add(EControl::Text, IDC_HOST_LIST, "");
        Add(EControl::Label, 0, "地址(&H):");
        Add(EControl::Edit, IDC_HOST_EDIT, "");
        Add(EControl::Button, IDC_HOST_ADD, "加入(&A)");
        Add(EControl::Button, IDC_HOST_REMOVE, "删除(&D)");
        Add(EControl::Button, IDC_HOST_TEST, "测试连接(&T)");
        Add(EControl::Text, IDC_HOST_STATUS, "");
        m_hosts = ReadNETCHAN32Hosts();
        ShowList();
    }
    void OnCommand(int id) override {
        const std::string host = GetItemText(IDC_HOST_EDIT);
        if (id == IDC_HOST_ADD && !host.empty()) {
            bool present = false;
            for (const std::string& h : m_hosts)
                present = present || strcasecmp(h.c_str(), host.c_str()) == 0;
            if (!present)
                m_hosts.push_back(host);
        } else if (id == IDC_HOST_REMOVE) {
            std::erase_if(m_hosts, [&](const std::string& h) { return strcasecmp(h.c_str(), host.c_str()) == 0; });
        } else if (id == IDC_HOST_TEST) {
            const std::string target = !host.empty() ? host : m_hosts.empty() ? "" : m_hosts.front();
            std::string report = "请先输入地址。";
            if (!target.empty()) {
                SetItemText(IDC_HOST_STATUS, "正在连接 " + target + " ...");
                if (CDialogHost* h = GetDialogHost())
                    h->Refresh();
                TestBackendConnection(target, kTestTimeoutMs, report);
            }
            SetItemText(IDC_HOST_STATUS, report);
        }
        ShowList();
    }
    bool OnOK() override {
        if (WriteNETCHAN32Hosts(m_hosts) == 0)
            return true;
        SetItemText(IDC_HOST_STATUS, "无法保存地址表 " + Netchan32HostsFile() + "。");
        return false;
    }

private:
    void ShowList() {
        std::string text;
        for (const std::string& h : m_hosts)
            text += (text.empty() ? "  " : "\n  ") + h;
        SetItemText(IDC_HOST_LIST, text.empty() ? "  (空)" : text);
    }
    std::vector<std::string> m_hosts;
};

}  // namespace

bool TestBackendConnection(const std::string& hostAndPort, int timeoutMs, std::string& report) {
    std::string host, port;
    SplitHostPort(hostAndPort, host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (gai != 0) {
        report = "无法解析地址 " + hostAndPort + ": " + gai_strerror(gai);
        return false;
    }
    int rc = -1, error = 0;
    for (const addrinfo* ai = list; ai && rc != 1; ai = ai->ai_next)
        rc = ConnectOnce(ai, timeoutMs, error);
    freeaddrinfo(list);
    const std::string target = host + ":" + port;
    if (rc == 1)
        report = "连接 " + target + " 成功。";
    else if (rc == 0)
        report = "连接 " + target + " 被拒绝: 该端口上没有服务程序。";
    else if (rc == -2)
        report = "连接 " + target + " 超时 (" + std::to_string(timeoutMs / 1000) + " 秒内无响应)。";
    else
        report = "连接 " + target + " 失败: " + PlatSystemErrorText(error);
    return rc == 1;
}

int CfgStrataIntrefaceDLL(const std::string&, const std::string& library,
                          const std::string& instanceName, std::string& errorText) {
    if (PlatGetProfileString(library, "Network", "", StrataInterfacesFile()) != "1") {
        errorText = "接口 " + library + " 尚未注册为网络模式接口。";
        return -1;
    }
    CDialogHost* host = GetDialogHost();
    CHostListForm form(library, instanceName);
    if (!host || host->RunForm(form) < 0) {
        errorText = "无法显示接口配置窗口: 没有可用的终端。地址表在 " + Netchan32HostsFile() + "。";
        return -1;
    }
    return 0;
}
