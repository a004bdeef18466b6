// strata: administration of a Strata store, embedded (SQLite file) or on a PostgreSQL server
// (databases, cfgs files, ISO 2709 loading and export, accounts, copying a whole store). A store is
// "sqlite:FILE", "pg:CONNINFO" or a file name, given as the STORE argument or with --store.
// Data goes to stdout, messages to stderr prefixed "strata: ".
//
// Exit codes: 0 success; 2 bad command line; 3 store or database operation failed; 4 a file could
// not be read or written; 5 a load finished but skipped bad records.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>

#include "backend/marc/cvtdiriv.h"
#include "setup/coralib/coralib.h"  // create --register
#include "backend/strata/strata_admin.h"
#include "isoload.h"
#include "storecopy.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitStore = 3;
constexpr int kExitFile = 4;
constexpr int kExitSkipped = 5;
constexpr uintmax_t kMaxInputFile = 1024ull * 1024 * 1024;
constexpr uintmax_t kMaxCfgFile = 4ull * 1024 * 1024;

int Message(int code, const std::string& text) {
    std::cerr << "strata: " << text << "\n";
    return code;
}

bool ReadFile(const std::string& path, uintmax_t limit, CByteArray& bytes, std::string& error) {
    std::error_code ec;
    uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        error = path + ": " + ec.message();
        return false;
    }
    if (size > limit) {
        error = path + ": larger than " + std::to_string(limit) + " octets";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// The store as messages name it: a connection string's password is left out.
std::string Shown(const std::string& store) {
    return std::regex_replace(store, std::regex("password\\s*=\\s*('([^'\\\\]|\\\\.)*'|\\S*)"), "password=***");
}

std::unique_ptr<CStrataAdmin> OpenStore(const std::string& store, int& exitCode) {
    std::string error;
    auto admin = CStrataAdmin::Open(store, error);
    if (!admin) exitCode = Message(kExitStore, Shown(store) + ": " + error);
    return admin;
}

int CmdCreate(const std::string& store) {
    std::string error;
    if (!CStrataAdmin::Create(store, error)) return Message(kExitStore, Shown(store) + ": " + error);
    return kExitOk;
}

int CmdDbAdd(const std::string& store, const std::string& name, const std::string& cfgs) {
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    std::vector<std::pair<std::string, std::string>> files;
    if (!cfgs.empty()) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(cfgs, ec)) {
            if (!entry.is_regular_file()) continue;
            CByteArray bytes;
            std::string error;
            if (!ReadFile(entry.path().string(), kMaxCfgFile, bytes, error)) return Message(kExitFile, error);
            files.emplace_back(entry.path().filename().string(), std::string(bytes.begin(), bytes.end()));
        }
        if (ec) return Message(kExitFile, cfgs + ": " + ec.message());
        // keys.cfg last: putting it reindexes the database.
        std::stable_partition(files.begin(), files.end(), [](const auto& f) { return f.first != "keys.cfg"; });
    }
    std::string error;
    if (admin->AddDatabase(name, error) < 0) return Message(kExitStore, name + ": " + error);
    for (const auto& file : files) {
        if (admin->PutCfgFile(name, file.first, file.second, error) < 0) {
            std::string dropError;
            admin->DropDatabase(name, dropError);
            return Message(kExitStore, name + "/cfgs/" + file.first + ": " + error + " (database not added)");
        }
    }
    return kExitOk;
}

int CmdDbDrop(const std::string& store, const std::string& name) {
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    std::string error;
    if (admin->DropDatabase(name, error) < 0) return Message(kExitStore, name + ": " + error);
    return kExitOk;
}

// Loads one file in one transaction; returns the exit code and counts what was skipped.
int LoadFile(CStrataAdmin& admin, const std::string& db, const std::string& path, IsoEncoding encoding,
             IsoFormat format, size_t& skipped) {
    CByteArray bytes;
    std::string error;
    if (!ReadFile(path, kMaxInputFile, bytes, error)) return Message(kExitFile, error);
    bool progress = isatty(STDERR_FILENO) != 0;
    std::vector<IsoPiece> pieces = SplitIsoFile(bytes);
    bytes.clear();
    const std::vector<IsoEncoding> encodings = ChooseEncodings(pieces, encoding, format);
    const size_t marc8 = static_cast<size_t>(std::count(encodings.begin(), encodings.end(), IsoEncoding::Marc8));
    if (encoding == IsoEncoding::Auto && marc8 != 0)
        Message(0, path + ": " + std::to_string(marc8) + " records read as MARC-8");

    std::vector<std::string> dirivs;
    std::vector<const IsoPiece*> origin;
    std::vector<bool> numbered;
    int64_t highest = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const IsoPiece& piece = pieces[i];
        std::string diriv, why = piece.m_error;
        if (why.empty() && ConvertIsoRecord(piece.m_bytes, encodings[i], format, diriv, why) < 0 && why.empty())
            why = "not a valid ISO 2709 record";
        if (!why.empty()) {
            Message(0, path + ": record " + std::to_string(piece.m_ordinal) + " at offset " +
                           std::to_string(piece.m_offset) + " skipped: " + why);
            ++skipped;
            continue;
        }
        int64_t number = 0;
        bool has = GetRecordNumber(diriv, number);
        if (has && number > highest) highest = number;
        dirivs.push_back(std::move(diriv));
        origin.push_back(&piece);
        numbered.push_back(has);
        if (progress && (i + 1) % 500 == 0)
            std::cerr << "\rstrata: " << path << ": " << (i + 1) << "/" << pieces.size() << " records read" << std::flush;
    }
    int64_t next = admin.NextRecordNumber(db, error);
    if (next < 0) return Message(kExitStore, db + ": " + error);
    next = std::max(next, highest + 1);
    for (size_t i = 0; i < dirivs.size(); ++i) {
        if (numbered[i]) continue;
        if (next > kStrataMaxRecordNumber) return Message(kExitStore, db + ": no free 7-digit record number left");
        if (RenumberRecord(dirivs[i], next++, error) < 0) return Message(kExitStore, error);
    }
    if (progress) std::cerr << "\rstrata: " << path << ": writing " << dirivs.size() << " records...      " << std::flush;
    std::vector<StrataRejectedRecord> rejected;
    int written = admin.LoadRecords(db, dirivs, rejected, error);
    if (progress) std::cerr << "\n";
    if (written < 0) return Message(kExitStore, path + ": nothing loaded: " + error);
    for (const auto& r : rejected) {
        const IsoPiece* piece = r.m_position < origin.size() ? origin[r.m_position] : nullptr;
        Message(0, path + ": record " + std::to_string(piece ? piece->m_ordinal : 0) + " at offset " +
                       std::to_string(piece ? piece->m_offset : 0) + " skipped: " + r.m_reason);
        ++skipped;
    }
    std::cout << path << ": " << written << " records loaded into " << db << "\n";
    return kExitOk;
}

int CmdLoad(const std::string& store, const std::string& db, const std::vector<std::string>& files,
            const std::string& encodingName, const std::string& formatName) {
    IsoEncoding encoding = encodingName == "gbk" ? IsoEncoding::Gbk
                           : encodingName == "utf8"  ? IsoEncoding::Utf8
                           : encodingName == "marc8" ? IsoEncoding::Marc8
                                                     : IsoEncoding::Auto;
    IsoFormat format = formatName == "unimarc" ? IsoFormat::Unimarc : IsoFormat::Usmarc;
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    size_t skipped = 0;
    for (const auto& file : files) {
        code = LoadFile(*admin, db, file, encoding, format, skipped);
        if (code != kExitOk) return code;
    }
    if (skipped != 0) return Message(kExitSkipped, std::to_string(skipped) + " bad records skipped");
    return kExitOk;
}

int ParseRights(const std::string& text) {
    if (text == "r") return kStrataRightRead;
    if (text == "w") return kStrataRightWrite;
    return kStrataRightRead | kStrataRightWrite;
}

int CmdAccount(const std::string& action, const std::string& store, const std::string& name,
               const std::string* password, const std::string& rights) {
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    std::string error;
    int result = 0;
    if (action == "add")
        result = admin->AddAccount(name, password ? *password : std::string(), ParseRights(rights.empty() ? "r" : rights), error);
    else if (action == "passwd")
        result = admin->ChangeAccount(name, password, rights.empty() ? -1 : ParseRights(rights), error);
    else
        result = admin->RemoveAccount(name, error);
    if (result < 0) return Message(kExitStore, name + ": " + error);
    return kExitOk;
}

int CmdList(const std::string& store) {
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    std::vector<StrataDatabaseInfo> dbs;
    std::string error;
    if (admin->ListDatabases(dbs, error) < 0) return Message(kExitStore, error);
    for (const auto& db : dbs) std::cout << db.m_name << "\t" << db.m_records << "\n";
    return kExitOk;
}

int CmdExport(const std::string& store, const std::string& db, const std::string& out, bool utf8) {
    int code = kExitOk;
    auto admin = OpenStore(store, code);
    if (!admin) return code;
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) return Message(kExitFile, out + ": cannot be written");
    std::string error;
    size_t failed = 0;
    int64_t count = admin->ForEachRecord(db, [&](int64_t number, const std::string& diriv) {
        CByteArray iso;
        std::string why;
        if (CvtDirivToISO2709(diriv, iso, utf8 ? 1 : 0, why) < 0) {
            Message(0, db + ": record " + std::to_string(number) + " not exported: " + why);
            ++failed;
            return true;
        }
        file.write(reinterpret_cast<const char*>(iso.data()), static_cast<std::streamsize>(iso.size()));
        return file.good();
    }, error);
    if (count < 0) return Message(kExitStore, db + ": " + error);
    file.close();
    if (!file) return Message(kExitFile, out + ": write error");
    std::cout << out << ": " << (count - static_cast<int64_t>(failed)) << " records exported from " << db << "\n";
    return failed != 0 ? kExitSkipped : kExitOk;
}

// "--store SPEC" (or "--store=SPEC") anywhere on the line becomes the STORE argument that follows
// the (sub)command words: the commands keep one positional grammar.
std::vector<std::string> MoveStoreOption(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    std::string spec;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--store" && i + 1 < args.size()) {
            spec = args[i + 1];
            args.erase(args.begin() + std::ptrdiff_t(i), args.begin() + std::ptrdiff_t(i) + 2);
            break;
        }
        if (args[i].rfind("--store=", 0) == 0) {
            spec = args[i].substr(8);
            args.erase(args.begin() + std::ptrdiff_t(i));
            break;
        }
    }
    if (spec.empty()) return args;
    size_t at = 1;
    while (at < args.size() && args[at].rfind("-", 0) == 0) ++at;  // global flags such as --help
    if (at < args.size()) {
        const std::string& word = args[at];
        at += (word == "db" || word == "account") ? 2 : 1;
    }
    args.insert(args.begin() + std::ptrdiff_t(std::min(at, args.size())), spec);
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"strata: administration of a Strata back-end store: sqlite:FILE (or a file name) or\n"
                 "pg:CONNINFO (a libpq connection string, e.g. pg:\"host=db1 dbname=Lumo user=velkan\"),\n"
                 "given as STORE or as --store SPEC anywhere on the line.\n"
                 "Exit codes: 0 ok, 2 usage, 3 store error, 4 file error, 5 bad records skipped."};
    app.require_subcommand(1);
    std::string store, db, name, cfgs, out, encoding = "auto", format = "usmarc", password, rights;
    std::vector<std::string> files;
    bool utf8 = false;

    auto* create = app.add_subcommand("create", "Create a new, empty store (with the account \"public\")");
    create->add_option("STORE", store, "store file")->required();
    bool registerStore = false;
    create->add_flag("--register", registerStore,
                     "enter the store in the local kernel's instance registry as instance \"Lumo\"");

    auto* dbCmd = app.add_subcommand("db", "Add or drop a database");
    dbCmd->require_subcommand(1);
    auto* dbAdd = dbCmd->add_subcommand("add", "Add a database with its configuration files");
    dbAdd->add_option("STORE", store)->required();
    dbAdd->add_option("NAME", db)->required();
    dbAdd->add_option("--cfgs", cfgs, "folder whose files (use.cfg, keys.cfg, ...) become the database's cfgs");
    auto* dbDrop = dbCmd->add_subcommand("drop", "Drop a database with its records and cfgs");
    dbDrop->add_option("STORE", store)->required();
    dbDrop->add_option("NAME", db)->required();

    auto* load = app.add_subcommand("load", "Load ISO 2709 files into a database (one transaction per file)");
    load->add_option("STORE", store)->required();
    load->add_option("DB", db)->required();
    load->add_option("FILE", files)->required();
    load->add_option("--encoding", encoding, "gbk, utf8, marc8 or auto (default: leader 09 \"a\" or UNIMARC 100 says UTF-8; MARC 21 records with MARC-8 escapes, or a file whose every non-ASCII octet is MARC-8's, say MARC-8; else gbk)")
        ->check(CLI::IsMember({"gbk", "utf8", "marc8", "auto"}));
    load->add_option("--format", format, "usmarc (default) or unimarc")->check(CLI::IsMember({"usmarc", "unimarc"}));

    auto* account = app.add_subcommand("account", "Add, change or remove an account");
    account->require_subcommand(1);
    std::string action;
    CLI::Option* passwordOption = nullptr;
    for (const char* verb : {"add", "passwd", "remove"}) {
        auto* sub = account->add_subcommand(verb, std::string(verb) + " an account");
        sub->add_option("STORE", store)->required();
        sub->add_option("NAME", name)->required();
        if (std::string(verb) != "remove") {
            auto* opt = sub->add_option("--password", password, "password (empty when not given)");
            sub->add_option("--rights", rights, "r (read), w (write) or rw")->check(CLI::IsMember({"r", "w", "rw"}));
            if (std::string(verb) == "passwd") passwordOption = opt;
        }
        sub->callback([&action, verb] { action = verb; });
    }

    auto* list = app.add_subcommand("list", "List the databases and their record counts");
    list->add_option("STORE", store)->required();

    auto* exportCmd = app.add_subcommand("export", "Export a database's records as ISO 2709");
    exportCmd->add_option("STORE", store)->required();
    exportCmd->add_option("DB", db)->required();
    exportCmd->add_option("OUT", out, "output .mrc file")->required();
    exportCmd->add_flag("--utf8", utf8, "convert text fields to UTF-8");

    std::string from, to;
    auto* copy = app.add_subcommand("copy", "Copy a whole store into a new one and verify the copy by comparing exports");
    copy->add_option("FROM", from, "existing store")->required();
    copy->add_option("TO", to, "new store (created)")->required();

    std::vector<std::string> args = MoveStoreOption(argc, argv);
    std::vector<char*> argvMoved;
    for (std::string& a : args) argvMoved.push_back(a.data());
    try {
        app.parse(int(argvMoved.size()), argvMoved.data());
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }

    try {
        if (*create) {
            const int rc = CmdCreate(store);
            std::string error;
            if (rc == kExitOk && registerStore && RegisterKernelInstance(store, error) != 0)
                return Message(kExitFile, error);
            return rc;
        }
        if (*dbAdd) return CmdDbAdd(store, db, cfgs);
        if (*dbDrop) return CmdDbDrop(store, db);
        if (*load) return CmdLoad(store, db, files, encoding, format);
        if (*account) {
            const std::string* pw = nullptr;
            if (action != "passwd" || (passwordOption && passwordOption->count() > 0)) pw = &password;
            return CmdAccount(action, store, name, pw, rights);
        }
        if (*list) return CmdList(store);
        if (*exportCmd) return CmdExport(store, db, out, utf8);
        if (*copy) {
            std::string error;
            if (CopyStore(from, to, std::cout, error) < 0) return Message(kExitStore, error);
            return kExitOk;
        }
    } catch (const std::exception& e) {
        return Message(kExitStore, e.what());
    }
    return kExitUsage;
}
