// sfpublish: the publisher's tool for signed content.
//
//   sfpublish keygen PRIVATE.pem
//   sfpublish list --key PRIVATE.pem --product NAME [--serial N] --base-url URL [--out DIR]
//                  [--torrents TRACKERS] FOLDER|FILE...
//       --torrents: "none" or tracker URLs separated by ','; writes each
//       file's torrent beside it and its info-hash into its line
//       (tools/sfpublish/TorrentWriter.h).
//   sfpublish engine --key PRIVATE.pem --product NAME [--serial N] MANIFEST ARCHIVE...
//   sfpublish verify --pub HEX [--product NAME] FILE
//
// A signature names the product it is for and a serial (SignatureFile.h):
// the given one, else the time in seconds; either way above the serial of
// the signature it replaces, so that readers that keep the highest serial
// they took refuse the older publication.
//
// Exit codes: 0 done (verify: valid), 1 verify: invalid signature, 2 usage
// or input/output error. Every failure prints one line to stderr and leaves
// the outputs as they were.
#include <stdio.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "sdk/download/CDataDownloadSession.h"
#include "sdk/support/CXMLParserOrvane.h"
#include "sdk/support/HexBytes.h"
#include "sdk/support/PublisherSignature.h"
#include "sdk/support/SignatureFile.h"
#include "tools/sfpublish/ManifestHashes.h"
#include "tools/sfpublish/SignedFileList.h"
#include "tools/sfpublish/SigningKey.h"
#include "tools/sfpublish/ToolFiles.h"
#include "tools/sfpublish/TorrentWriter.h"

namespace fs = std::filesystem;
using namespace sfpublish;

namespace {

const int kExitOk = 0;
const int kExitInvalid = 1;
const int kExitError = 2;
// A signature file larger than the library takes is an invalid signature;
// beyond this it is not read at all.
const uint64_t kMaxSignatureFileBytes = 4096;

const char kUsage[] =
    "usage: sfpublish keygen PRIVATE.pem\n"
    "       sfpublish list --key PRIVATE.pem --product NAME [--serial N] --base-url URL\n"
    "                      [--out DIR] [--torrents TRACKERS] FOLDER|FILE...\n"
    "       sfpublish engine --key PRIVATE.pem --product NAME [--serial N] MANIFEST ARCHIVE...\n"
    "       sfpublish verify --pub HEX [--product NAME] FILE\n";

int Fail(const std::string& message) {
    fprintf(stderr, "sfpublish: %s\n", message.c_str());
    return kExitError;
}

int Usage(const std::string& message) {
    fprintf(stderr, "sfpublish: %s\n%s", message.c_str(), kUsage);
    return kExitError;
}

// Options (each at most once) and the plain arguments after them.
struct Arguments {
    std::string key, baseUrl, out, pub, product, serial, torrents;
    std::vector<std::string> plain;
};

bool ParseArguments(int argc, char** argv, const std::vector<std::string>& allowed, Arguments* args,
                    std::string* error) {
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string* slot = nullptr;
            for (const std::string& option : allowed) {
                if (arg != option)
                    continue;
                slot = option == "--key"        ? &args->key
                       : option == "--base-url" ? &args->baseUrl
                       : option == "--out"      ? &args->out
                       : option == "--product"  ? &args->product
                       : option == "--serial"   ? &args->serial
                       : option == "--torrents" ? &args->torrents
                                                : &args->pub;
            }
            if (!slot) {
                *error = "unknown option " + arg;
                return false;
            }
            if (i + 1 >= argc || !slot->empty() || argv[i + 1][0] == '\0') {
                *error = arg + " needs one non-empty value";
                return false;
            }
            *slot = argv[++i];
        } else {
            args->plain.push_back(arg);
        }
    }
    return true;
}

fs::path SignaturePath(const fs::path& path) {
    fs::path sigPath = path;
    sigPath += ".sig";
    return sigPath;
}

// The serial of a new signature for `product` at `sigPath`: `given`, or the
// time in seconds; above the serial of a signature for the same product
// that it replaces.
bool ChooseSerial(const std::string& given, const fs::path& sigPath, const std::string& product,
                  int64_t* serial, std::string* error) {
    int64_t previous = -1;
    std::string old, ignored;
    SignatureFile replaced;
    if (ReadSmallFile(sigPath, kSignatureFileMax, &old, &ignored) &&
        ReadSignatureFile(old.data(), old.size(), &replaced) && product == replaced.product)
        previous = replaced.serial;
    if (given.empty()) {
        const int64_t now = (int64_t)time(nullptr);
        *serial = now > previous ? now : previous + 1;
        return true;
    }
    int64_t value = 0;
    bool digits = given.size() <= kSerialDigitsMax;
    for (char c : given) {
        digits = digits && c >= '0' && c <= '9';
        value = digits ? value * 10 + (c - '0') : 0;
    }
    if (!digits) {
        *error = "--serial must be 1 to " + std::to_string(kSerialDigitsMax) + " decimal digits";
        return false;
    }
    if (value <= previous) {
        *error = "--serial " + given + " is not above " + std::to_string(previous) +
                 ", the serial of " + Shown(sigPath) +
                 ": readers that took that one would refuse it";
        return false;
    }
    *serial = value;
    return true;
}

// Writes the signed file and its signature file: both are staged first, and
// the signature is never left beside a file it does not sign.
int CommitSigned(const fs::path& path, const std::string& bytes, const SigningKey& key,
                 const Arguments& args) {
    const fs::path sigPath = SignaturePath(path);
    std::string sig, error;
    int64_t serial = 0;
    if (!ChooseSerial(args.serial, sigPath, args.product, &serial, &error) ||
        !MakeSignatureFile(key, args.product, serial, bytes, &sig, &error))
        return Fail(error);
    StagedFile file(path);
    StagedFile sigFile(sigPath);
    if (!file.Write(bytes, false, &error) || !sigFile.Write(sig, false, &error))
        return Fail(error);
    if (!file.Commit(&error))
        return Fail(error);
    if (!sigFile.Commit(&error)) {
        file.RemoveCommitted();
        return Fail(error);
    }
    printf("wrote %s and %s (product %s, serial %lld)\n", Shown(path).c_str(),
           Shown(sigPath).c_str(), args.product.c_str(), (long long)serial);
    return kExitOk;
}

int Keygen(int argc, char** argv) {
    if (argc != 3)
        return Usage("keygen takes one PRIVATE.pem");
    const fs::path path(argv[2]);
    std::error_code ec;
    if (fs::exists(path, ec) || ec)
        return Fail(Shown(path) + ": exists already; a key is never overwritten");
    SigningKey key;
    std::string pem, hex, error;
    if (!key.Generate(&error) || !key.PrivatePem(&pem, &error) || !key.PublicHex(&hex, &error))
        return Fail(error);
    StagedFile file(path);
    if (!file.Write(pem, true, &error) || !file.Commit(&error))
        return Fail(error);
    printf("%s\n", hex.c_str());
    return kExitOk;
}

int List(int argc, char** argv) {
    Arguments args;
    std::string error, base;
    if (!ParseArguments(argc, argv,
                        {"--key", "--product", "--serial", "--base-url", "--out", "--torrents"},
                        &args, &error))
        return Usage(error);
    if (args.key.empty() || args.product.empty() || args.baseUrl.empty() || args.plain.empty())
        return Usage("list needs --key, --product, --base-url and at least one FOLDER or FILE");
    if (!TakeBaseUrl(args.baseUrl, &base, &error))
        return Fail(error);
    const fs::path outDir = args.out.empty() ? fs::path(".") : fs::path(args.out);
    std::error_code ec;
    if (!fs::is_directory(outDir, ec))
        return Fail(Shown(outDir) + ": not a folder");
    SigningKey key;
    if (!key.Load(args.key, &error))
        return Fail(error);
    std::vector<ListedFile> files;
    std::string text;
    std::vector<std::string> trackers;
    TorrentBatch torrents;
    if (!args.torrents.empty() && !TakeTrackers(args.torrents, &trackers, &error))
        return Fail(error);
    if (!CollectFiles(args.plain, &files, &error) ||
        (!args.torrents.empty() && !torrents.Make(trackers, base, &files, &error)) ||
        !BuildFileList(base, files, &text, &error))
        return Fail(error);
    // A torrent the list does not name is refused by every engine, so the
    // torrents go first.
    if (!torrents.Commit(&error))
        return Fail(error);
    return CommitSigned(outDir / "filelist.txt", text, key, args);
}

int Engine(int argc, char** argv) {
    Arguments args;
    std::string error;
    if (!ParseArguments(argc, argv, {"--key", "--product", "--serial"}, &args, &error))
        return Usage(error);
    if (args.key.empty() || args.product.empty() || args.plain.size() < 2)
        return Usage("engine needs --key, --product, the MANIFEST and at least one ARCHIVE");
    SigningKey key;
    if (!key.Load(args.key, &error))
        return Fail(error);
    const fs::path manifestPath(args.plain[0]);
    std::string manifest;
    if (!ReadSmallFile(manifestPath, kXmlMaxDocument, &manifest, &error))
        return Fail(error);
    ArchiveDigests digests;
    for (size_t i = 1; i < args.plain.size(); ++i) {
        const fs::path archive(args.plain[i]);
        const std::string name = archive.filename().u8string();
        std::string sha256;
        uint64_t size = 0;
        if (digests.count(name))
            return Fail(Shown(archive) + ": an archive named '" + name + "' is given already");
        if (!HashFile(archive, &sha256, &size, &error))
            return Fail(error);
        digests[name] = sha256;
    }
    std::string result;
    if (!AddManifestHashes(manifest, digests, &result, &error))
        return Fail(error);
    return CommitSigned(manifestPath, result, key, args);
}

int Verify(int argc, char** argv) {
    Arguments args;
    std::string error;
    if (!ParseArguments(argc, argv, {"--pub", "--product"}, &args, &error))
        return Usage(error);
    if (args.pub.empty() || args.plain.size() != 1)
        return Usage("verify needs --pub and one FILE");
    uint8_t publicKey[kPublisherKeySize];
    if (!ParsePublisherKeyHex(args.pub.c_str(), publicKey)) {
        if (args.pub.size() == 2 * kPublisherKeySize &&
            HexToBytes(args.pub.data(), args.pub.size(), publicKey, kPublisherKeySize))
            return Fail("--pub is a key of small order or not canonical: it would take forgeries");
        return Fail("--pub must be 64 hex digits");
    }
    const fs::path path(args.plain[0]);
    const fs::path sigPath = SignaturePath(path);
    std::string bytes, sig;
    if (!ReadSmallFile(path, (uint64_t)CDataDownloadSession::kMaxDataSize, &bytes, &error) ||
        !ReadSmallFile(sigPath, kMaxSignatureFileBytes, &sig, &error))
        return Fail(error);
    SignatureFile parsed;
    if (!ReadSignatureFile(sig.data(), sig.size(), &parsed)) {
        fprintf(stderr, "sfpublish: invalid signature: %s (not a signature file)\n",
                Shown(path).c_str());
        return kExitInvalid;
    }
    const std::string message = sig.substr(0, parsed.headerLength) + bytes;
    if (!VerifyEd25519Signature(publicKey, message.data(), message.size(), parsed.signature,
                                sizeof parsed.signature)) {
        fprintf(stderr, "sfpublish: invalid signature: %s\n", Shown(path).c_str());
        return kExitInvalid;
    }
    if (!args.product.empty() && args.product != parsed.product) {
        fprintf(stderr, "sfpublish: invalid signature: %s (signed for product %s, not %s)\n",
                Shown(path).c_str(), parsed.product, args.product.c_str());
        return kExitInvalid;
    }
    printf("valid: %s (product %s, serial %lld)\n", Shown(path).c_str(), parsed.product,
           (long long)parsed.serial);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage("no command");
    const std::string command = argv[1];
    if (command == "keygen")
        return Keygen(argc, argv);
    if (command == "list")
        return List(argc, argv);
    if (command == "engine")
        return Engine(argc, argv);
    if (command == "verify")
        return Verify(argc, argv);
    return Usage("unknown command " + command);
}
