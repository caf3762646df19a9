// The file node over real files on C:, with the data going through the host's I/O packets.
#include "../../plugin/tree/find_filespec.h"
#include "../../plugin/tree/vssfs_file.h"
#include "tree_test_support.h"

#include "backup_stream_emulation.h"

#include <gmock/gmock.h>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

struct Chunk {
  int64_t offset;
  std::string data;
  bool operator==(const Chunk& o) const { return offset == o.offset && data == o.data; }
};
std::ostream& operator<<(std::ostream& out, const Chunk& c) { return out << c.data.size() << "@" << c.offset; }

std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 7919) >> 5);
  return out;
}

class FileNode : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    InstallBackupStreamEmulation(GetModuleHandle(nullptr));
    contexts_before = EmulatedBackupLiveContexts();
    element = HNEW probe_node_t(vssfs, "@SYSTEMSTATE", VSSFS_NODE_ELEMENT);
    writer = HNEW probe_node_t(vssfs, "Registry Writer", VSSFS_NODE_WRITER, element);
    component = HNEW probe_node_t(vssfs, "Registry", VSSFS_NODE_COMPONENT, writer);
  }
  void TearDown() override {
    delete node;
    delete component;
    delete writer;
    delete element;
    EXPECT_EQ(EmulatedBackupLiveContexts(), contexts_before) << "a backup stream context was left open";
    InstanceTest::TearDown();
  }

  void NewNode(const std::wstring& real, int job_type) {
    delete node;
    vssfs->job_type = job_type;
    node = HNEW vssfs_file_t(vssfs, const_cast<char*>("c:/entry"), component);
    node->filename = static_cast<WCHAR*>(HALLOC((real.size() + 1) * sizeof(WCHAR)));
    memcpy(node->filename, real.c_str(), real.size() * sizeof(WCHAR));
    vssfs->current_node = node;
  }
  static io_pkt Io(int func, char* buf = nullptr, int count = 0) {
    io_pkt io{};
    io.pkt_size = io.pkt_end = sizeof(io_pkt);
    io.func = func;
    io.buf = buf;
    io.count = count;
    return io;
  }
  save_pkt StartBackup(const std::wstring& real, bool dir = false, bool reparse = false, const WCHAR* ranges = nullptr) {
    NewNode(real, 1);
    node->is_dir = dir;
    node->is_reparse = reparse;
    node->is_partial = ranges != nullptr;
    node->partial_range = const_cast<WCHAR*>(ranges);
    save_pkt sp{};
    sp.pkt_size = sp.pkt_end = sizeof(save_pkt);
    EXPECT_EQ(node->startBackupFile(&sp), hRC_OK);
    return sp;
  }
  // Open, read until the end of the data, close: as the host does. 'last' is the final read.
  std::vector<Chunk> ReadChunks(int count, io_pkt* last = nullptr) {
    std::vector<Chunk> chunks;
    io_pkt io = Io(IO_OPEN);
    EXPECT_EQ(node->pluginIoOpen(&io), hRC_OK);
    std::vector<char> buffer(count);
    while (io.io_errno == 0) {
      io = Io(IO_READ, buffer.data(), count);
      if (node->pluginIoRead(&io) != hRC_OK || io.status == 0 || io.io_errno) break;
      chunks.push_back(Chunk{io.offset, std::string(buffer.data(), io.status)});
    }
    if (last) *last = io;
    io_pkt close = Io(IO_CLOSE);
    EXPECT_EQ(node->pluginIoClose(&close), hRC_OK);
    return chunks;
  }
  // The data as the host would keep it; 'sp' and 'open_failed' tell what the host was told.
  std::string BackupStream(const std::wstring& real, bool dir = false, save_pkt* sp = nullptr,
                           bool* open_failed = nullptr) {
    save_pkt started = StartBackup(real, dir);
    if (sp) *sp = started;
    io_pkt last;
    std::string stream;
    for (const auto& c : ReadChunks(4096, &last)) stream += c.data;
    if (open_failed) *open_failed = last.io_errno != 0;
    EXPECT_EQ(node->size, stream.size());
    return stream;
  }
  // createFile and the open of a restored entry; answers the open's io_errno.
  int RestoreOpen(const std::wstring& real, int type, int data_stream = 1) {
    NewNode(real, 2);
    restore_pkt rp{};
    rp.pkt_size = rp.pkt_end = sizeof(restore_pkt);
    rp.type = type;
    rp.data_stream = data_stream;
    EXPECT_EQ(node->createFile(&rp), hRC_OK);
    EXPECT_EQ(rp.create_status, CREATE_WRITE_DATA);
    io_pkt io = Io(IO_OPEN);
    EXPECT_EQ(node->pluginIoOpen(&io), hRC_OK);
    return io.io_errno;
  }
  void Restore(const std::wstring& real, std::string stream, int type = FILE_TYPE_REGULAR) {
    ASSERT_EQ(RestoreOpen(real, type), 0) << Narrow(real);
    for (size_t at = 0; at < stream.size(); at += 1000) {
      io_pkt io = Io(IO_WRITE, &stream[at], static_cast<int>(std::min<size_t>(1000, stream.size() - at)));
      ASSERT_EQ(node->pluginIoWrite(&io), hRC_OK);
    }
    io_pkt close = Io(IO_CLOSE);
    EXPECT_EQ(node->pluginIoClose(&close), hRC_OK);
    EXPECT_EQ(node->size, stream.size());
  }

  TestFolder folder;
  size_t contexts_before = 0;
  probe_node_t *element = nullptr, *writer = nullptr, *component = nullptr;
  vssfs_file_t* node = nullptr;
};

class FileNodeBackup : public FileNode {};

TEST_F(FileNodeBackup, FillsThePacketAndTypesFollowTheEntryAndTheChangeCheck) {
  folder.Write(L"f.txt", Pattern(1234));
  folder.Make({L"d\\"});
  save_pkt sp = StartBackup(folder / L"f.txt");
  EXPECT_EQ(sp.fname, node->full_path);
  EXPECT_EQ(sp.link, node->full_path);
  EXPECT_STREQ(sp.fname, "/@SYSTEMSTATE/Registry Writer/Registry/c:/entry");
  EXPECT_EQ(sp.statp.st_size, 1234u);
  EXPECT_EQ(sp.type, FILE_TYPE_REGULAR);
  EXPECT_EQ(StartBackup(folder / L"d", true).type, FILE_TYPE_DIRECTORY);
  EXPECT_EQ(StartBackup(folder / L"d", false, true).type, FILE_TYPE_REPARSE);

  check_changes_answer = hRC_Seen;
  EXPECT_EQ(StartBackup(folder / L"f.txt").type, FILE_TYPE_UNCHANGED);
  EXPECT_EQ(StartBackup(folder / L"d", true).type, FILE_TYPE_UNCHANGED_DIRECTORY);
  sp = StartBackup(folder / L"f.txt", false, false, L"0:1");
  EXPECT_EQ(sp.type, FILE_TYPE_REGULAR);  // ranges are sent whatever the host has seen
  EXPECT_EQ(sp.flags & SAVE_FLAGS_PARTIAL, SAVE_FLAGS_PARTIAL);

  EXPECT_EQ(node->endBackupFile(), hRC_OK);
  EXPECT_EQ(vssfs->current_node, component);
  NewNode(folder / L"f.txt", 2);
  EXPECT_EQ(node->endRestoreFile(), hRC_Seen);
  EXPECT_EQ(vssfs->current_node, component);
}

class FileNodeRestore : public FileNode {};

// Names in the system code page (1252 here) come back byte-exact with a true status record; a
// name outside it fails its entry with an error naming it, and never goes out as an empty status.
TEST_F(FileNodeRestore, ATreeFoundByTheEnumeratorComesBackWholeSaveNamesTheCodePageLacks) {
  const std::wstring inside = Widen("caf\xc3\xa9\\\xc3\xa9t\xc3\xa9 \xe2\x82\xac\xc3\x9f.txt");
  const std::wstring cjk = Widen("\xe6\x95\xb0\xe6\x8d\xae"), greek = Widen("\xce\xb1\xce\xb2.txt");
  folder.Make({L"src\\empty.txt", L"src\\a\\b\\c\\d\\e\\deep.bin", L"src\\empty-dir\\", L"src\\" + inside,
               L"src\\" + cjk + L"\\x.txt", L"src\\" + greek});
  folder.Write(L"src\\a\\b\\c\\d\\e\\deep.bin", Pattern(70000));
  folder.Write(L"src\\" + inside, "inside");
  folder.Write(L"src\\" + greek, "outside");
  folder.Write(L"src\\ro.txt", "read only");
  SetFileAttributesW((folder / L"src\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);

  // Back up every entry as the component does, keeping each stream under its live name.
  find_filespec_t* find = HNEW find_filespec_t(&job.ctx);
  std::wstring live = folder / L"live", read = folder / L"src", all = L"*";
  find->add_filespec(&live[0], &read[0], &all[0], true);
  find->reset();
  std::vector<std::pair<std::wstring, std::string>> saved;
  std::vector<bool> dirs;
  std::vector<std::string> failed;
  while (find->next()) {
    WCHAR* name = find->filename();
    WCHAR* alt = find->alt_filename();
    save_pkt sp;
    bool open_failed = false;
    std::string stream = BackupStream(alt, find->is_dir(), &sp, &open_failed);
    WIN32_FILE_ATTRIBUTE_DATA real;
    ASSERT_TRUE(GetFileAttributesExW(alt, GetFileExInfoStandard, &real));
    EXPECT_NE(sp.statp.st_mode, 0) << Narrow(alt);
    EXPECT_EQ(sp.statp.st_mode & 0170000, find->is_dir() ? 0040000 : 0100000) << Narrow(alt);
    EXPECT_EQ(sp.statp.st_size, find->is_dir() ? 0u : real.nFileSizeLow) << Narrow(alt);
    EXPECT_EQ(sp.statp.st_mtime, (((int64_t)real.ftLastWriteTime.dwHighDateTime << 32 |
                                   real.ftLastWriteTime.dwLowDateTime) - 116444736000000000LL) / 10000000) << Narrow(alt);
    if (open_failed) {
      failed.push_back(Narrow(alt));
    } else {
      dirs.push_back(find->is_dir());
      saved.emplace_back(name, stream);
    }
    HFREE(name);
    HFREE(alt);
  }
  delete find;
  EXPECT_THAT(failed, testing::UnorderedElementsAre(Narrow(read + L"\\" + cjk + L"\\x.txt"),
                                                    Narrow(read + L"\\" + cjk + L"\\"), Narrow(read + L"\\" + greek)));
  std::string shown = Narrow(read) + "\\";  // the message's text is in the code page, '?' where it has nothing
  EXPECT_THAT(job.JobMessages(JMSG_ERROR),
              testing::UnorderedElementsAre(
                  "Cannot back up \"" + shown + "??\\x.txt\": its name has characters outside the system code page\n",
                  "Cannot back up \"" + shown + "??\\\": its name has characters outside the system code page\n",
                  "Cannot back up \"" + shown + "??.txt\": its name has characters outside the system code page\n"));
  ASSERT_EQ(saved.size(), 11u);
  job.ClearMessages();

  // Restored in the same order: files before the directories that hold them.
  for (size_t i = 0; i < saved.size(); ++i) {
    std::wstring target = saved[i].first;
    if (dirs[i]) target.pop_back();
    Restore(target, saved[i].second, dirs[i] ? FILE_TYPE_DIRECTORY : FILE_TYPE_REGULAR);
  }
  for (const std::wstring& name : {std::wstring(L"empty.txt"), std::wstring(L"a\\b\\c\\d\\e\\deep.bin"), inside,
                                   std::wstring(L"ro.txt")})
    EXPECT_EQ(ReadWholeFile(folder / (L"live\\" + name)), ReadWholeFile(folder / (L"src\\" + name))) << Narrow(name);
  EXPECT_NE(GetFileAttributesW((folder / L"live\\empty-dir").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW((folder / (L"live\\" + greek)).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(FileNodeRestore, MissingParentsAreMadeOneLevelAfterTheOtherAndReadOnlyFilesReplaced) {
  folder.Write(L"src.txt", "new content");
  std::string stream = BackupStream(folder / L"src.txt");
  job.ClearMessages();
  Restore(folder / L"p1\\p2\\p3\\f.txt", stream);
  EXPECT_EQ(ReadWholeFile(folder / L"p1\\p2\\p3\\f.txt"), "new content");
  std::vector<std::string> steps;
  for (const auto& m : job.DebugMessages(50))
    if (m.rfind("creating parent directory of ", 0) == 0) steps.push_back(m.substr(29));
  EXPECT_THAT(steps, ElementsAre(Narrow(folder / L"p1\\p2\\p3\\f.txt\n"), Narrow(folder / L"p1\\p2\\p3\n"),
                                 Narrow(folder / L"p1\\p2\n"), Narrow(folder / L"p1\n")));

  folder.Write(L"ro.txt", "old content that is longer");
  SetFileAttributesW((folder / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Restore(folder / L"ro.txt", stream);
  EXPECT_EQ(ReadWholeFile(folder / L"ro.txt"), "new content");
  EXPECT_EQ(GetFileAttributesW((folder / L"ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(FileNodeRestore, OpenFailuresAreWarningsOrQuietForDirectoriesInUseButNeverFailedCalls) {
  NewNode(folder / L"gone.txt", 1);
  io_pkt io = Io(IO_OPEN);
  EXPECT_EQ(node->pluginIoOpen(&io), hRC_OK);
  EXPECT_EQ(io.io_errno, 1);
  EXPECT_THAT(job.JobMessages(JMSG_WARNING),
              ElementsAre(StartsWith("Open failed on file=\"" + Narrow(folder / L"gone.txt") + "\"\nfull_path=\"" +
                                     node->full_path + "\"\n       ERR=")));
  job.ClearMessages();

  folder.Make({L"exists\\"});
  folder.Write(L"plain.txt", "x");
  HANDLE holder = CreateFileW((folder / L"exists").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_EQ(RestoreOpen(folder / L"exists", FILE_TYPE_DIRECTORY), 1);
  CloseHandle(holder);
  EXPECT_EQ(RestoreOpen(folder / L"exists", FILE_TYPE_DIRECTORY), 0);
  EXPECT_THAT(job.JobMessages(), IsEmpty());

  std::wstring below_a_file = folder / L"plain.txt\\sub\\f.txt";
  EXPECT_EQ(RestoreOpen(below_a_file, FILE_TYPE_REGULAR), 1);
  ASSERT_EQ(job.JobMessages(JMSG_WARNING).size(), 1u);
  EXPECT_THAT(job.JobMessages(JMSG_WARNING)[0], HasSubstr("CreateFileW failed on file=\"" + Narrow(below_a_file)));
}

TEST_F(FileNodeRestore, WriteFailuresAreFatalUnlessTheOpenHadAlreadyFailed) {
  folder.Write(L"src.txt", "some data");
  std::string stream = BackupStream(folder / L"src.txt");
  // A handle that may only read fails every write, as a full disk would. Each write gives exactly
  // one message of its own, of the type its case calls for.
  auto write = [&](bool partial, int io_errno_before) {
    NewNode(folder / L"src.txt", 2);
    node->is_partial = partial;
    node->backup_file_handle = CreateFileW((folder / L"src.txt").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    job.ClearMessages();
    io_pkt io = Io(IO_WRITE, &stream[0], static_cast<int>(stream.size()));
    io.io_errno = io_errno_before;
    EXPECT_EQ(node->pluginIoWrite(&io), hRC_Error);
    EXPECT_EQ(io.io_errno, 1);
    EXPECT_EQ(node->size, 0u);
    std::vector<int> types;
    for (const auto& m : job.messages)
      if (m.kind == HostMessage::Job) {
        types.push_back(m.type_or_level);
        EXPECT_EQ(m.text.rfind("BackupWrite failed. ERR=", 0), 0u) << m.text;
      }
    return types;
  };
  EXPECT_THAT(write(false, 0), ElementsAre(JMSG_FATAL));
  EXPECT_THAT(write(false, 1), ElementsAre(JMSG_WARNING));  // the failed open was reported already
  EXPECT_THAT(write(true, 1), ElementsAre(JMSG_FATAL));     // byte ranges: always fatal
  EXPECT_THAT(write(true, 0), ElementsAre(JMSG_FATAL));
}

TEST_F(FileNodeRestore, StreamsAreEndedWhenTheNodeGoesEvenWithoutAnOpenFile) {
  folder.Write(L"big.bin", Pattern(100000));
  NewNode(folder / L"big.bin", 1);
  io_pkt io = Io(IO_OPEN);
  node->pluginIoOpen(&io);
  char buffer[1000];
  io = Io(IO_READ, buffer, sizeof(buffer));
  ASSERT_EQ(node->pluginIoRead(&io), hRC_OK);
  EXPECT_GT(EmulatedBackupLiveContexts(), contexts_before);
  NewNode(folder / L"never-opened.txt", 2);  // deletes the reading node
  EXPECT_EQ(EmulatedBackupLiveContexts(), contexts_before);
  EXPECT_TRUE(DeleteFileW((folder / L"big.bin").c_str()));  // its handle is closed

  io = Io(IO_WRITE, buffer, 3);  // less than a stream header: taken without touching a file
  node->pluginIoWrite(&io);
  io_pkt close = Io(IO_CLOSE);
  node->pluginIoClose(&close);
  EXPECT_EQ(EmulatedBackupLiveContexts(), contexts_before);
}

class FileNodeRanges : public FileNode {
 protected:
  void SetUp() override {
    FileNode::SetUp();
    content = Pattern(80000);
    folder.Write(L"db.edb", content);
  }
  std::vector<Chunk> Ranges(const wchar_t* list, int count, io_pkt* last = nullptr) {
    StartBackup(folder / L"db.edb", false, false, list);
    return ReadChunks(count, last);
  }
  Chunk At(int64_t offset, size_t len) { return Chunk{offset, content.substr(offset, len)}; }
  std::string content;
};

TEST_F(FileNodeRanges, RangesArriveInPiecesWithTheirFileOffsets) {
  io_pkt last;
  EXPECT_THAT(Ranges(L"0:4096,65536:8192", 5000, &last), ElementsAre(At(0, 4096), At(65536, 5000), At(70536, 3192)));
  EXPECT_EQ(last.status, 0);
  EXPECT_EQ(last.io_errno, 0);
  EXPECT_EQ(node->size, 4096u + 8192u);
  // Numbers are decimal whatever their leading zeros; an empty range does not end the data.
  EXPECT_THAT(Ranges(L"010:4, 0:0,20:5", 4096, &last), ElementsAre(At(10, 4), At(20, 5)));
  EXPECT_EQ(last.io_errno, 0);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(FileNodeRanges, MalformedOrImpossibleListsEndTheDataWithAnErrorAfterTheGoodRanges) {
  struct Case {
    const wchar_t* list;
    std::vector<Chunk> good;
  } cases[] = {
      {L"0:10,", {At(0, 10)}},  {L"-1:10", {}}, {L"0:-5", {}},  // a negative number is no enormous read
      {L"5:10,-3:1", {At(5, 10)}}, {L"0:4;8:4", {At(0, 4)}}, {L"", {}}, {L"99999999999999999999:1", {}},
      {L"79990:20", {At(79990, 10)}},  // beyond the end of the file
  };
  for (const auto& c : cases) {
    io_pkt last;
    EXPECT_EQ(Ranges(c.list, 4096, &last), c.good) << Narrow(c.list);
    EXPECT_EQ(last.status, 0) << Narrow(c.list);
    EXPECT_EQ(last.io_errno, 1) << Narrow(c.list);
  }
  EXPECT_EQ(DebugCount("bad range string\n"), 7u);
  EXPECT_THAT(job.JobMessages(), IsEmpty());
}

TEST_F(FileNodeRanges, RestoredRangesAreWrittenAtTheirOffsetsIntoTheExistingFile) {
  folder.Write(L"target.bin", std::string(100, '.'));
  ASSERT_EQ(RestoreOpen(folder / L"target.bin", FILE_TYPE_REGULAR, 6), 0);
  for (auto piece : {Chunk{10, "abcd"}, Chunk{50, "xyz"}}) {
    io_pkt seek = Io(IO_SEEK);
    seek.offset = piece.offset;
    EXPECT_EQ(node->pluginIoSeek(&seek), hRC_OK);
    io_pkt write = Io(IO_WRITE, &piece.data[0], static_cast<int>(piece.data.size()));
    EXPECT_EQ(node->pluginIoWrite(&write), hRC_OK);
  }
  io_pkt close = Io(IO_CLOSE);
  node->pluginIoClose(&close);
  std::string expected(100, '.');
  expected.replace(10, 4, "abcd").replace(50, 3, "xyz");
  EXPECT_EQ(ReadWholeFile(folder / L"target.bin"), expected);

  EXPECT_EQ(RestoreOpen(folder / L"absent.bin", FILE_TYPE_REGULAR, 7), 1);  // ranges need the file
  EXPECT_THAT(job.JobMessages(JMSG_WARNING), ElementsAre(HasSubstr("CreateFileW failed on file=")));
}

}  // namespace
