// The enumerator of a component's files, over real folders on C:.
#include "../../plugin/tree/find_filespec.h"
#include "tree_test_support.h"

#include <gmock/gmock.h>

#include <list>

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

namespace {

class Enumerator : public InstanceTest {
 protected:
  void SetUp() override {
    InstanceTest::SetUp();
    find = HNEW find_filespec_t(&job.ctx);
  }
  void TearDown() override {
    delete find;
    InstanceTest::TearDown();
  }
  // The interface takes writable texts; the enumerator copies them.
  WCHAR* W(const std::wstring& text) { return &texts.emplace_back(text)[0]; }
  void Add(const std::wstring& path, const std::wstring& alt, const std::wstring& spec, bool recursive) {
    find->add_filespec(W(path), W(alt), W(spec), recursive);
  }
  std::string Take(WCHAR* name) {
    std::string out = Narrow(name);
    HFREE(name);
    return out;
  }
  // Live names of the whole enumeration, read names in 'alt'.
  std::vector<std::string> All(std::vector<std::string>* alt = nullptr) {
    find->reset();
    std::vector<std::string> names;
    while (find->next()) {
      names.push_back(Take(find->filename()));
      if (alt) alt->push_back(Take(find->alt_filename()));
      EXPECT_EQ(find->is_dir(), names.back().back() == '\\');
    }
    return names;
  }
  std::vector<std::string> In(const std::vector<std::wstring>& relative, const std::wstring& base = L"") {
    std::vector<std::string> out;
    for (const auto& r : relative) out.push_back(Narrow((base.empty() ? folder.root() : base) + L"\\" + r));
    return out;
  }

  TestFolder folder;
  find_filespec_t* find = nullptr;
  std::list<std::wstring> texts;
};

TEST_F(Enumerator, AnEmptyListEndsAtOnceAndStaysEnded) {
  find->reset();
  EXPECT_FALSE(find->next());
  EXPECT_FALSE(find->next());
}

TEST_F(Enumerator, WithoutRecursionDirectoriesAreListedButNotEntered) {
  std::wstring greek = Widen("\xce\xb4\xce\xbf\xce\xba\xce\xb9\xce\xbc\xce\xae.dat");
  folder.Make({L"a.txt", greek, L"sub\\inner.txt"});
  Add(folder.root(), folder.root(), L"*", false);
  EXPECT_THAT(All(), UnorderedElementsAreArray(In({L"a.txt", greek, L"sub\\"})));
}

// Directories are entered whatever their names, but produced only when the pattern picks them:
// a directory that only leads to matching files would restore as an empty folder.
TEST_F(Enumerator, RecursionEntersEveryDirectoryButProducesOnlyWhatThePatternPicks) {
  folder.Make({L"a.log", L"b.txt", L"TxR\\c.LOG", L"TxR\\d.txt", L"TxR\\deep\\e.log", L"x.log.bak",
               L"old.log\\f.txt", L"old.log\\g.log"});
  Add(folder.root(), folder.root(), L"*.log", true);
  auto names = All();
  EXPECT_THAT(names, UnorderedElementsAreArray(In({L"a.log", L"TxR\\c.LOG", L"TxR\\deep\\e.log",
                                                   L"old.log\\g.log", L"old.log\\"})));
  EXPECT_EQ(names.back(), In({L"old.log\\"})[0]);  // after what it holds
  delete find;
  find = HNEW find_filespec_t(&job.ctx);
  Add(folder.root(), folder.root(), L"b.*", true);
  EXPECT_THAT(All(), ElementsAre(In({L"b.txt"})[0]));
}

// The file system decides what matches: short names and case as Windows has them, the same for a
// recursive file spec as for a plain one.
TEST_F(Enumerator, RecursiveAndPlainFileSpecsPickTheSameNames) {
  folder.Make({L"a.htm", L"page.html", Widen("\xc3\x89" "COLE.txt"), L"readme", L"sub\\x.htm"});
  for (const wchar_t* pattern : {L"*.htm", L"\u00e9cole.*", L"*.*", L"README.", L"?.htm"}) {
    delete find;
    find = HNEW find_filespec_t(&job.ctx);
    Add(folder.root(), folder.root(), pattern, false);
    std::vector<std::string> plain;
    for (const auto& name : All())
      if (name.back() != '\\') plain.push_back(name);
    delete find;
    find = HNEW find_filespec_t(&job.ctx);
    Add(folder.root(), folder.root(), pattern, true);
    std::vector<std::string> top;
    for (const auto& name : All())
      if (name.find('\\', folder.root().size() + 1) == std::string::npos) top.push_back(name);
    EXPECT_THAT(top, UnorderedElementsAreArray(plain)) << Narrow(pattern);
    EXPECT_FALSE(plain.empty()) << Narrow(pattern);
  }
}

TEST_F(Enumerator, RecursionListsEveryDirectoryAfterItsContentsButNeverTheSearchedOne) {
  folder.Make({L"a.txt", L"sub\\inner.txt", L"sub\\d1\\d2\\d3\\leaf.bin", L"sub\\empty\\", L"zz\\z.txt"});
  Add(folder.root(), folder.root(), L"*", true);
  auto names = All();
  EXPECT_THAT(names, UnorderedElementsAreArray(In({L"a.txt", L"sub\\inner.txt", L"sub\\d1\\d2\\d3\\leaf.bin",
                                                   L"sub\\d1\\d2\\d3\\", L"sub\\d1\\d2\\", L"sub\\d1\\",
                                                   L"sub\\empty\\", L"sub\\", L"zz\\z.txt", L"zz\\"})));
  for (size_t i = 0; i < names.size(); ++i)
    for (size_t j = i + 1; names[i].back() == '\\' && j < names.size(); ++j)
      EXPECT_NE(names[j].rfind(names[i], 0), 0u) << names[j] << " after " << names[i];
}

TEST_F(Enumerator, LiveNamesComeFromThePathAndReadNamesFromTheReadPathWithoutDoubledBackslashes) {
  folder.Make({L"SOFTWARE", L"Sub\\Log.TXT"});
  Add(L"C:\\Windows\\System32\\config", folder.root(), L"*", true);
  std::vector<std::string> alt;
  EXPECT_THAT(All(&alt), UnorderedElementsAreArray(In({L"SOFTWARE", L"Sub\\Log.TXT", L"Sub\\"},
                                                      L"C:\\Windows\\System32\\config")));
  EXPECT_THAT(alt, UnorderedElementsAreArray(In({L"SOFTWARE", L"Sub\\Log.TXT", L"Sub\\"})));

  // A volume root as live path and a read path given with its final backslash.
  delete find;
  find = HNEW find_filespec_t(&job.ctx);
  Add(L"C:\\", folder.root() + L"\\", L"*", true);
  alt.clear();
  EXPECT_THAT(All(&alt), UnorderedElementsAre("C:\\SOFTWARE", "C:\\Sub\\Log.TXT", "C:\\Sub\\"));
  EXPECT_THAT(alt, UnorderedElementsAreArray(In({L"SOFTWARE", L"Sub\\Log.TXT", L"Sub\\"})));
}

TEST_F(Enumerator, FileSpecsComeLastAddedFirstAndAMissingFolderGivesNothing) {
  folder.Make({L"a.log", L"c.txt"});
  Add(folder / L"missing", folder / L"missing", L"*", true);
  Add(folder.root(), folder.root(), L"*.log", false);
  Add(folder.root(), folder.root(), L"c.txt", false);
  EXPECT_THAT(All(), ElementsAre(In({L"c.txt"})[0], In({L"a.log"})[0]));
}

TEST_F(Enumerator, ReparsePointFoldersAreListedButNeverEntered) {
  folder.Make({L"target\\inside.txt"});
  ASSERT_TRUE(folder.MakeLinkedFolder(L"link", L"target"));
  Add(folder.root(), folder.root(), L"*", true);
  find->reset();
  std::vector<std::string> names;
  while (find->next()) {
    names.push_back(Take(find->filename()));
    EXPECT_EQ(find->is_reparse(), names.back() == In({L"link"})[0]);
  }
  EXPECT_THAT(names, UnorderedElementsAreArray(In({L"target\\inside.txt", L"target\\", L"link"})));
}

TEST_F(Enumerator, RewindingInsideADescentStartsAgainWithTheOriginalNames) {
  folder.Make({L"a\\b\\c\\one.txt", L"a\\b\\c\\two.txt", L"a\\x.txt"});
  Add(L"D:\\live", folder.root(), L"*", true);
  auto full = All();
  find->reset();
  ASSERT_TRUE(find->next());
  ASSERT_NE(find->stack_head, nullptr);
  EXPECT_EQ(All(), full);
  find->reset();
  ASSERT_TRUE(find->next());  // the fixture destroys it in the middle of a descent
}

FILETIME Time(uint64_t ticks) { return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

TEST_F(Enumerator, OnlyEntriesWrittenAfterTheDifferencedTimeAreProduced) {
  const uint64_t base = 132000000000000000ULL;  // 2019; the high word has its top bit set
  folder.Make({L"same.dat", L"later.dat", L"older.dat", L"sub\\new.dat"});
  auto set_time = [&](const wchar_t* name, uint64_t ticks) {
    HANDLE file = CreateFileW((folder / name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME time = Time(ticks);
    EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
    CloseHandle(file);
  };
  set_time(L"same.dat", base);
  set_time(L"later.dat", base + 1);
  set_time(L"older.dat", base - 10000000);
  set_time(L"sub\\new.dat", base + 20000000);
  set_time(L"sub", base - 1);  // directories are filtered too
  FILETIME since = Time(base);
  find->add_differenced(W(folder.root()), W(L"*"), true, &since);
  EXPECT_THAT(All(), UnorderedElementsAreArray(In({L"later.dat", L"sub\\new.dat"})));
}

TEST_F(Enumerator, DifferencedAndPartialEntriesJoinOnlyTheMatchingFileSpec) {
  FILETIME since = Time(1234);
  Add(L"C:\\db", L"C:\\db", L"*", true);
  find->add_differenced(W(L"C:\\db"), W(L"*"), true, &since);  // joins
  find->add_differenced(W(L"C:\\db"), W(L"*"), false, &since);  // other recursion flag: new
  find->add_differenced(W(L"C:\\db\\"), W(L"*"), true, &since);  // names compare exactly: new
  Add(L"C:\\db", L"X:\\snap\\db", L"db.edb", false);
  find->add_partial(W(L"C:\\db"), W(L"db.edb"), W(L"0:4096"), W(L"meta"));  // joins
  find->add_partial(W(L"C:\\db"), W(L"db.edb"), W(L"0:8192"), nullptr);     // replaces the range only
  find->add_partial(W(L"C:\\db"), W(L"other.edb"), W(L"10:20"), nullptr);   // new, read at its live path

  std::vector<std::string> specs;
  for (filespec_list_t* s = find->filespec_head; s; s = s->next) {
    specs.push_back(Narrow(s->path) + "|" + Narrow(s->alt_path) + "|" + Narrow(s->filespec) + "|" +
                    (s->recursive ? "r" : "-") + "|" + std::to_string(s->differenced_time.dwLowDateTime) + "|" +
                    (s->partial_range ? Narrow(s->partial_range) : "") + "|" +
                    (s->partial_metadata ? Narrow(s->partial_metadata) : ""));
  }
  EXPECT_THAT(specs, ElementsAre("C:\\db|C:\\db|other.edb|-|0|10:20|", "C:\\db|X:\\snap\\db|db.edb|-|0|0:8192|meta",
                                 "C:\\db\\|C:\\db\\|*|r|1234||", "C:\\db|C:\\db|*|-|1234||",
                                 "C:\\db|C:\\db|*|r|1234||"));
}

TEST_F(Enumerator, TheCurrentEntryCarriesTheRangesOfItsFileSpec) {
  folder.Make({L"db.edb", L"log.txt"});
  find->add_partial(W(folder.root()), W(L"db.edb"), W(L"0:10"), W(L"m"));
  Add(folder.root(), folder.root(), L"log.txt", false);
  find->reset();
  ASSERT_TRUE(find->next());
  EXPECT_EQ(find->partial_range(), nullptr);
  ASSERT_TRUE(find->next());
  EXPECT_EQ(Narrow(find->partial_range()), "0:10");
  EXPECT_EQ(Narrow(find->partial_metadata()), "m");
}

}  // namespace
