// Archives written here pass other ZIP tools' readers and theirs unpack here; a missing tool
// (scripts/install-deps) skips its rows.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/common/Posix.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::TempDir;

// A command's exit status and output in `folder`; nothing, with `skip` set, without `tool`.
std::optional<std::pair<int, std::string>> runTool(const std::string& tool,
                                                   const std::string& command,
                                                   const std::string& folder, std::string& skip) {
    if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
        skip = tool + " is not installed (scripts/install-deps installs it)";
        return std::nullopt;
    }
    // The log lies in a folder of its own: another test program may run a tool in `folder` too.
    const TempDir logFolder;
    const std::string log = logFolder.path() + "/tool.log";
    const int status = std::system(("cd '" + folder + "' && (export LC_ALL=C.UTF-8; " + command +
                                    ") >'" + log + "' 2>&1 </dev/null")
                                       .c_str());
    std::string output = test::readFile(log);
    return std::pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::move(output));
}

// What the x.zip that `command` made in `folder` unpacks to, in a folder of its own beside it;
// nothing when the tool is missing (`skip` says so) or failed (the test fails).
std::optional<UnpackReceipt> unpackMadeArchive(const std::string& tool, const std::string& command,
                                               const std::string& folder, std::string& skip) {
    const auto made = runTool(tool, command, folder, skip);
    if (!made) {
        return std::nullopt;
    }
    EXPECT_EQ(made->first, 0) << made->second;
    if (made->first != 0) {
        return std::nullopt;
    }
    ::mkdir((folder + "/out").c_str(), 0700);
    return ArchivePipeline::unpack(folder + "/x.zip", folder + "/out", nullptr, {});
}

// Each reader checks every CRC-32 and counts `entries`; returns why a reader was skipped.
std::string expectReadersAccept(const std::string& archive, std::uint64_t entries) {
    std::string skipped;
    const std::string count = std::to_string(entries);
    const std::pair<std::string, std::string> checks[] = {
        {"unzip", "unzip -tqq '" + archive + "' && echo " + count},
        {"7z", "7z t -bd '" + archive + "' | grep -q 'Everything is Ok' && echo " + count},
        {"bsdtar", "bsdtar -tf '" + archive + "' | wc -l"},
        {"python3",
         "python3 -c 'import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
         "assert z.testzip() is None\nprint(len(z.infolist()))' '" +
             archive + "'"},
    };
    for (const auto& [tool, command] : checks) {
        const auto result = runTool(tool, command, "/tmp", skipped);
        if (result) {
            EXPECT_EQ(*result, std::pair(0, count + "\n")) << tool;
        }
    }
    return skipped;
}

// Pack's archives in both modes (stored and deflated entries of 0 bytes, 64 KiB and 64 KiB + 1,
// incompressible data, a private attribute field the readers must skip, a manifest as the last
// entry) and, from 65,535 entries on, ZIP64 end records.
TEST(ArchiveInteropTest, OtherReadersAcceptWhatWeWrite) {
    TempDir root, out;
    test::makeTree(root.path(), {{"자료/", ""},
                                 {"자료/empty/", ""},
                                 {"자료/보고서.txt", test::textBytes(300'000)},
                                 {"자료/block.bin", test::randomBytes(65'536, 7)},
                                 {"자료/block1.txt", test::textBytes(65'537)},
                                 {"자료/photo.jpg", test::randomBytes(65'537, 8)},
                                 {"자료/empty.txt", ""},
                                 {"자료/Same.txt", "one"},
                                 {"자료/SAME.txt", "two"}});
    ::setxattr(root.file("자료/Same.txt").c_str(), "user.note", "kept", 4, 0);
    std::string skipped;
    for (const auto mode : {ArchiveCompressionMode::balanced, ArchiveCompressionMode::maximum}) {
        const std::string name =
            out.file(mode == ArchiveCompressionMode::maximum ? "m.zip" : "b.zip");
        ArchivePipeline::pack({root.file("자료")}, name, nullptr, std::nullopt, mode);
        skipped = expectReadersAccept(name, 2 + 7 + 1);  // folders, files, manifest
    }
    StreamingZIPWriter writer(posix::open(out.file("many.zip"), O_WRONLY | O_CREAT, 0600),
                              posix::open(out.file("cd"), O_WRONLY | O_CREAT, 0600), out.file("cd"),
                              ArchiveCompressionMode::balanced, std::nullopt, std::nullopt,
                              [](int) { return std::optional<std::uint64_t>(1ull << 40); });
    for (int i = 0; i < 65535; ++i) {
        writer.addDirectory("d" + std::to_string(i) + "/", 0, 0755, "");
    }
    writer.finalize([] {});
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(out.file("many.zip"), {}), 65535u);
    skipped = expectReadersAccept(out.file("many.zip"), 65535);
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

// Other tools' layouts: plain, forced ZIP64, streamed with data descriptors; Info-ZIP's zip
// stores the Korean name in UTF-8 without the UTF-8 flag.
TEST(ArchiveInteropTest, UnpacksArchivesOfOtherTools) {
    // Legacy names (no UTF-8 flag) in Korean Windows' code page 949, one of them valid UTF-8 too,
    // beside a flagged one, and no Unix modes.
    const std::string python =
        "python3 -c \"\nimport zipfile\nwith zipfile.ZipFile('x.zip', 'w') as z:\n"
        "  for n in 'pkg/ pkg/empty/ pkg/sub/ pkg/CCCC.txt pkg/KKKK.txt pkg/a.txt pkg/sub/b.bin "
        "pkg/보고서.txt'.split():\n"
        "    i = zipfile.ZipInfo(n); i.create_system = 0; i.external_attr = 0x10 * (n[-1] == '/')\n"
        "    z.writestr(i, b'' if n[-1] == '/' else open(n, 'rb').read(), zipfile.ZIP_DEFLATED)\n"
        "d = open('x.zip', 'rb').read().replace(b'/CCCC', '/체크'.encode('cp949'))\n"
        "d = d.replace(b'/KKKK', '/보고'.encode('cp949'))\n"
        "open('x.zip', 'wb').write(d)\"";
    // Written to a pipe, Python's zipfile puts each entry's CRC-32 and sizes in a data descriptor.
    const std::string pythonStream =
        "python3 -c \"\nimport os, sys, zipfile\n"
        "with zipfile.ZipFile(sys.stdout.buffer, 'w', zipfile.ZIP_DEFLATED) as z:\n"
        "  for d, subs, files in os.walk('pkg'):\n"
        "    z.write(d)\n"
        "    for f in files: z.write(os.path.join(d, f))\" | cat > x.zip";
    // A self-extractor: Info-ZIP's own stub before the archive, offsets adjusted by zip -A.
    const std::string selfExtractor =
        "zip -r -q a.zip pkg && cat \"$(command -v unzipsfx)\" a.zip > x.zip && zip -q -A x.zip";
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"zip", "zip -r -q x.zip pkg", true},
        {"zip", "zip -r -q -fz x.zip pkg", true},
        {"zip", "zip -r -q - pkg > x.zip", true},
        {"zip", "zip -r -q - pkg | cat > x.zip", true},
        {"unzipsfx", selfExtractor, true},
        {"python3", pythonStream, true},
        {"7z", "7z a -tzip -bd x.zip pkg", true},
        {"bsdtar", "bsdtar --format zip -cf x.zip pkg", true},
        {"python3", python, false}};
    std::string skipped;
    for (const auto& [tool, command, keepsModes] : cases) {
        SCOPED_TRACE(command.substr(0, 40));
        TempDir root;
        test::makeTree(root.path(), {{"pkg/", ""},
                                     {"pkg/sub/", ""},
                                     {"pkg/empty/", ""},
                                     {"pkg/a.txt", test::textBytes(100'000)},
                                     {"pkg/sub/b.bin", test::randomBytes(20'000, 3)},
                                     {"pkg/CCCC.txt", "legacy name"},
                                     {"pkg/KKKK.txt", "Korean Windows name"},
                                     {"pkg/보고서.txt", "report"}});
        ::chmod(root.file("pkg/sub/b.bin").c_str(), 0640);
        test::Tree expected = test::treeOf(root.path());
        const std::optional<UnpackReceipt> receipt =
            unpackMadeArchive(tool, command, root.path(), skipped);
        if (!receipt) {
            continue;
        }
        EXPECT_EQ(receipt->fileCount, 5u);
        if (!keepsModes) {
            for (const auto& [written, read] : {std::pair("pkg/CCCC.txt", "pkg/체크.txt"),
                                                std::pair("pkg/KKKK.txt", "pkg/보고.txt")}) {
                auto legacy = expected.extract(written);
                legacy.key() = read;
                expected.insert(std::move(legacy));
            }
        }
        EXPECT_EQ(test::treeOf(receipt->outputURL), expected);
        struct stat st {};
        ASSERT_EQ(::stat((receipt->outputURL + "/pkg/sub/b.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, keepsModes ? 0640u : 0600u);
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

// A ZIP as photo albums, jars and office files are: members stored, since they do not shrink,
// behind them the ZIP's own directory and end record, and its comment when given.
std::string storedZip(const std::vector<std::pair<std::string, std::string>>& members,
                      const std::string& comment = {}) {
    test::RawZipBuilder zip;
    for (const auto& [name, data] : members) {
        zip.addStored(name, data);
    }
    zip.end.comment = comment;
    return zip.relink().bytes();
}
const std::string emptyZip = test::RawEndRecord().encode();
// A jar holding a stored jar holding a stored ZIP.
std::string nestedZip() {
    const std::string inner = storedZip({{"data.bin", test::randomBytes(3'000, 4)}});
    return storedZip({{"BOOT-INF/lib/core.jar", storedZip({{"res/inner.zip", inner}})},
                      {"META-INF/MANIFEST.MF", "Main-Class: App\n"}});
}

// Whether an end record other than the archive's own lies in its last 64 KiB, where a reader
// searches: the ZIP stored inside.
bool tailHoldsAnotherEndRecord(const std::string& archive) {
    const std::string signature("PK\5\6", 4);
    const std::size_t own = archive.rfind(signature);
    const std::size_t window = ZipFormat::endOfCentralDirectorySize + 65535;
    return own != std::string::npos && own > 0 &&
           archive.rfind(signature, own - 1) + window >= archive.size();
}

// The tree an unpack restored, without the receipt of renamed names.
test::Tree restoredTree(const std::string& folder) {
    test::Tree tree = test::treeOf(folder);
    tree.erase(std::string(ArchivePipeline::reservedMappingName));
    return tree;
}

using Items = std::vector<std::pair<std::string, std::string>>;

// Packs the selection of `names` made of `items` in both modes, with and without a captured
// snapshot, unpacks each archive and hands both to `check`; setUp runs on each new tree.
void packAndUnpack(const Items& items, const std::vector<std::string>& names,
                   const std::function<void(const std::string&)>& setUp,
                   const std::function<void(const std::string& archive, const std::string& source,
                                            const std::string& restored)>& check) {
    for (const auto mode : {ArchiveCompressionMode::balanced, ArchiveCompressionMode::maximum}) {
        for (const bool withSnapshot : {false, true}) {
            SCOPED_TRACE(names.front() + (withSnapshot ? " with a snapshot" : ""));
            TempDir root, out, scratch;
            test::makeTree(root.path(), items);
            if (setUp) {
                setUp(root.path());
            }
            std::vector<std::string> sources;
            for (const std::string& name : names) {
                sources.push_back(root.file(name));
            }
            std::optional<ArchiveInputSnapshot> snapshot;
            if (withSnapshot) {
                snapshot = ArchivePipeline::captureInputSnapshot(sources, scratch.file("s.jsonl"),
                                                                 nullptr);
            }
            const PackReceipt packed =
                ArchivePipeline::pack(sources, out.file("x.zip"), nullptr, snapshot, mode);
            const UnpackReceipt unpacked =
                ArchivePipeline::unpack(packed.outputURL, out.path(), nullptr, {});
            check(packed.outputURL, root.path(), unpacked.outputURL);
        }
    }
}

// A selection holding ZIP-based files, which pack stores, whose own end records therefore lie in
// the archive's last 64 KiB: it packs in both modes, with and without a captured snapshot, and
// unpacks to the same tree.
TEST(ArchiveInteropTest, PacksAndUnpacksSelectionsHoldingZipFiles) {
    const std::pair<Items, std::vector<std::string>> selections[] = {
        {{{"앨범/", ""},
          {"앨범/photos.zip", storedZip({{"1.jpg", test::randomBytes(1'000, 1)}})},
          {"앨범/메모.txt", test::textBytes(2'000)}},
         {"앨범"}},
        {{{"첨부파일.zip", storedZip({{"2.jpg", test::randomBytes(300'000, 2)}}, "comment")}},
         {"첨부파일.zip"}},
        {{{"big/", ""},
          {"big/data.zip", storedZip({{"3.bin", test::randomBytes(10 << 20, 3)}})},
          {"big/readme.txt", "r"}},
         {"big"}},
        {{{"app.jar", nestedZip()},
          {"report.docx", storedZip({{"word/document.xml", "<w/>"}})},
          {"empty.zip", emptyZip}},
         {"app.jar", "report.docx", "empty.zip"}},
    };
    for (const auto& [items, names] : selections) {
        packAndUnpack(items, names, {}, [](auto& archive, auto& source, auto& restored) {
            EXPECT_TRUE(tailHoldsAnotherEndRecord(test::readFile(archive)));
            EXPECT_EQ(restoredTree(restored), test::treeOf(source));
        });
    }
}

// Files whose bytes look like the records of a ZIP, where every record a reader could take lies
// inside the entry or header that holds it: a file ending in the first 20 bytes of an empty ZIP's
// end record beside photos, one ending in a whole empty ZIP, one ending in a ZIP64 end record and
// locator, a stored ZIP last, and an attribute whose value is an empty ZIP (in the local and the
// central extra field). Each selection packs and unpacks to the tree it was made of.
TEST(ArchiveInteropTest, PacksAndUnpacksFilesThatLookLikeRecords) {
    test::RawZip64Locator locator;
    locator.endRecordOffset = 100;
    const std::string text = test::textBytes(64);
    const Items items = {
        {"사진/", ""},
        {"사진/download.part", text + emptyZip.substr(0, 20)},
        {"사진/1.jpg", test::randomBytes(30'000, 7)},
        {"사진/2.jpg", test::randomBytes(20'000, 8)},
        {"사진/log.bin", text + emptyZip},
        {"사진/trace.bin", text + test::RawZip64EndRecord().encode() + locator.encode()},
        {"사진/zz.zip", storedZip({{"a.txt", "a"}})},
        {"사진/attributed.txt", "attributed"}};
    bool attributed = false;
    const auto setUp = [&](const std::string& root) {
        const std::string path = root + "/사진/attributed.txt";
        attributed = ::setxattr(path.c_str(), "user.zip", emptyZip.data(), emptyZip.size(), 0) == 0;
    };
    packAndUnpack(items, {"사진"}, setUp, [&](auto&, auto& source, auto& restored) {
        EXPECT_EQ(restoredTree(restored), test::treeOf(source));
        std::string value(64, '\0');
        const ssize_t length = ::getxattr((restored + "/사진/attributed.txt").c_str(), "user.zip",
                                          value.data(), value.size());
        if (attributed) {
            EXPECT_EQ(value.substr(0, static_cast<std::size_t>(std::max<ssize_t>(length, 0))),
                      emptyZip);
        }
    });
    if (!attributed) {
        GTEST_SKIP() << "the temporary folder's file system keeps no user attributes";
    }
}

// Archives of other tools holding ZIP-based files unpack to the tree they were made of: Info-ZIP's
// zip and 7-Zip store them, bsdtar and Python are told to; Python's put a stored ZIP, or an empty
// one, last. A file ending in the first 20 bytes of an empty ZIP's end record lies among them.
TEST(ArchiveInteropTest, UnpacksZipFilesInsideArchivesOfOtherTools) {
    const auto python = [](const std::string& last) {
        return "python3 -c \"\nimport os, zipfile\nnames = []\n"
               "for d, subs, files in os.walk('pkg'):\n"
               "  names += [d + '/'] + [d + '/' + f for f in files]\n"
               "names.sort(key=lambda n: n == '" +
               last +
               "')\nwith zipfile.ZipFile('x.zip', 'w', zipfile.ZIP_STORED) as z:\n"
               "  for n in names: z.write(n, n)\"";
    };
    const std::pair<std::string, std::string> cases[] = {
        {"zip", "zip -r -q x.zip pkg"},
        {"7z", "7z a -tzip -mx=0 -bd x.zip pkg"},
        {"bsdtar", "bsdtar --format zip --options zip:compression=store -cf x.zip pkg"},
        {"python3", python("pkg/photos.zip")},
        {"python3", python("pkg/empty.zip")},
    };
    std::string skipped;
    for (const auto& [tool, command] : cases) {
        SCOPED_TRACE(command.substr(0, 60));
        TempDir root;
        test::makeTree(root.path(),
                       {{"pkg/", ""},
                        {"pkg/lib/", ""},
                        {"pkg/photos.zip", storedZip({{"1.jpg", test::randomBytes(20'000, 5)},
                                                      {"2.jpg", test::randomBytes(20'000, 6)}})},
                        {"pkg/메모.txt", "note"},
                        {"pkg/lib/app.jar", nestedZip()},
                        {"pkg/commented.zip", storedZip({{"a.txt", "a"}}, "its own comment")},
                        {"pkg/empty.zip", emptyZip},
                        {"pkg/download.part", test::textBytes(64) + emptyZip.substr(0, 20)}});
        const test::Tree expected = test::treeOf(root.path());
        const std::optional<UnpackReceipt> receipt =
            unpackMadeArchive(tool, command, root.path(), skipped);
        if (receipt) {
            EXPECT_EQ(test::treeOf(receipt->outputURL), expected);
        }
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << skipped;
    }
}

}  // namespace
}  // namespace tolvane
