#pragma once
// Test helpers for the session tests: a minimal Z39.50 origin over a blocking socket (requests as
// yaz-client encodes them, reading one BER element with a time limit), temp folders and log reads.

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "berkit/bernode.h"
#include "berkit/bytearray.h"

namespace tunneltest {

inline CByteArray Hex(const std::string& text) {
    CByteArray out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
    return out;
}

inline CByteArray Concat(CByteArray a, const CByteArray& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// yaz-client 5.34's initRequest without authentication.
inline CByteArray InitAnonymous() {
    return Hex("b4 52 83 02 00 e0 84 03 00 e9 a2 85 04 04 00 00 00 86 04 04 00 00 00 9f 6e 02 38 31 9f 6f 03 "
               "59 41 5a 9f 70 2f 35 2e 33 34 2e 30 20 64 65 63 30 63 38 61 30 62 37 36 32 31 33 32 34 36 38 "
               "63 63 38 32 36 34 63 31 62 32 32 30 65 61 65 31 63 36 37 62 64 37");
}

// An initRequest with optional referenceId, idAuthentication (raw [7] content) and otherInfo.
inline CByteArray InitWith(const CByteArray& refId, const CByteArray& auth, const CByteArray& otherInfo) {
    CByteArray body;
    if (!refId.empty())
        body = Concat(Concat(Hex("82"), CByteArray{static_cast<unsigned char>(refId.size())}), refId);
    body = Concat(body, Hex("83 02 00 e0 84 03 00 e9 a2 85 04 04 00 00 00 86 04 04 00 00 00"));
    if (!auth.empty())
        body = Concat(body, Concat(Concat(Hex("a7"), CByteArray{static_cast<unsigned char>(auth.size())}), auth));
    body = Concat(body, Hex("9f 6e 02 38 31 9f 6f 03 59 41 5a"));
    body = Concat(body, otherInfo);
    CByteArray out = Hex("b4");
    out.push_back(static_cast<unsigned char>(body.size()));  // test requests stay below 128 octets
    return Concat(out, body);
}

inline CByteArray OpenAuth(const std::string& text) {
    CByteArray out = Hex("1a");
    out.push_back(static_cast<unsigned char>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

inline CByteArray IdPassAuth(const std::string& user, const std::string& password) {
    CByteArray seq;
    seq.push_back(0x81);
    seq.push_back(static_cast<unsigned char>(user.size()));
    seq.insert(seq.end(), user.begin(), user.end());
    seq.push_back(0x82);
    seq.push_back(static_cast<unsigned char>(password.size()));
    seq.insert(seq.end(), password.begin(), password.end());
    CByteArray out = Hex("30");
    out.push_back(static_cast<unsigned char>(seq.size()));
    return Concat(out, seq);
}

// yaz-client's `charset UTF-8` proposal (negotiation inside the EXTERNAL's [0]).
inline CByteArray Utf8ProposalWrapped() {
    return Hex("bf 81 49 20 30 1e a4 1c 06 07 2a 86 48 ce 13 0f 03 a0 11 a1 0f a1 0a a2 08 82 06 28 d3 16 01 "
               "00 08 83 01 01");
}
// The same proposal directly below externallyDefinedInfo [4].
inline CByteArray Utf8ProposalBare() {
    return Hex("bf 81 49 1e 30 1c a4 1a 06 07 2a 86 48 ce 13 0f 03 a1 0f a1 0a a2 08 82 06 28 d3 16 01 00 08 "
               "83 01 01");
}

inline CByteArray SearchRequest() {
    return Hex("b6 45 8d 01 00 8e 01 01 8f 01 00 90 01 01 91 01 31 b2 0a 9f 69 07 44 65 66 61 75 6c 74 b5 28 "
               "a1 26 06 07 2a 86 48 ce 13 03 01 a0 1b bf 66 18 bf 2c 0a 30 08 9f 78 01 01 9f 79 01 04 9f 2d "
               "08 63 6f 6d 70 75 74 65 72");
}

inline CByteArray ScanRequest() {
    return Hex("bf 23 39 a3 0a 9f 69 07 44 65 66 61 75 6c 74 06 07 2a 86 48 ce 13 03 01 bf 66 18 bf 2c 0a 30 "
               "08 9f 78 01 01 9f 79 01 04 9f 2d 08 63 6f 6d 70 75 74 65 72 85 01 00 86 01 14 87 01 01");
}

inline CByteArray CloseRequest() { return Hex("bf 30 05 9f 81 53 01 00"); }

inline bool SendAll(int fd, const CByteArray& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

enum class ReadResult { Pdu, Closed, Timeout };

// Reads until one complete BER element has arrived, the peer closed, or `timeoutMs` passed.
inline ReadResult ReadPdu(int fd, CByteArray& pdu, int timeoutMs = 5000) {
    pdu.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        long total = 0;
        if (!pdu.empty() && IsCompleteBER(pdu.data(), static_cast<long>(pdu.size()), &total))
            return ReadResult::Pdu;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ReadResult::Timeout;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return ReadResult::Timeout;
        unsigned char buffer[4096];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return ReadResult::Closed;
        pdu.insert(pdu.end(), buffer, buffer + n);
    }
}

// Decodes one PDU into `root` and returns its APDU node (null when it does not decode).
inline CBERNode* Decode(CBERNode& root, CByteArray& pdu) {
    root.ClearArray();
    try {
        if (DecodeBER(&root, pdu.data(), static_cast<int>(pdu.size())) < 0 || root.m_arrChildren.empty())
            return nullptr;
    } catch (...) {
        return nullptr;
    }
    return root.m_arrChildren[0];
}

inline CBERNode* Child(CBERNode* node, unsigned tag) {
    if (!node)
        return nullptr;
    for (CBERNode* c : node->m_arrChildren)
        if (c && c->m_uTag == tag)
            return c;
    return nullptr;
}

inline bool InitResult(CBERNode* apdu) {
    CBERNode* r = Child(apdu, 12);
    return r && r->m_baContent.size() == 1 && r->m_baContent[0] != 0;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// All daily log files of a folder, concatenated.
inline std::string ReadLogs(const std::filesystem::path& folder) {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.path().extension() == ".log")
            all += ReadFile(e.path());
    return all;
}

// Waits up to `timeoutMs` for `needle` to appear in the folder's logs.
inline bool WaitForLog(const std::filesystem::path& folder, const std::string& needle, int timeoutMs = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        if (ReadLogs(folder).find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

inline std::filesystem::path MakeTempDir(const char* stem) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(stem) + "XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        return {};
    return pattern;
}

// CPU time (user + system) of this process in milliseconds.
inline double ProcessCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

}  // namespace tunneltest
