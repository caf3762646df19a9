#include "mobri_cmdline.h"

#include <cctype>

#include "debug.h"
#include "volume.h"

namespace {

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool StartsWith(const std::string& Text, const std::string& Prefix) {
  return Text.compare(0, Prefix.size(), Prefix) == 0;
}

bool EndsWith(const std::string& Text, const std::string& Suffix) {
  return Text.size() >= Suffix.size() &&
         Text.compare(Text.size() - Suffix.size(), Suffix.size(), Suffix) == 0;
}

// Optional sign and at least one digit, nothing else; false when it does not fit in 64 bits.
bool ParseInteger(const std::string& Text, int64_t& Value) {
  size_t At = 0;
  bool Negative = false;
  if (At < Text.size() && (Text[At] == '+' || Text[At] == '-')) Negative = Text[At++] == '-';
  if (At == Text.size()) return false;
  // Accumulate downwards so INT64_MIN fits too.
  int64_t Result = 0;
  for (; At < Text.size(); ++At) {
    if (Text[At] < '0' || Text[At] > '9') return false;
    if (__builtin_mul_overflow(Result, 10, &Result) ||
        __builtin_sub_overflow(Result, Text[At] - '0', &Result))
      return false;
  }
  if (!Negative && __builtin_mul_overflow(Result, -1, &Result)) return false;
  Value = Result;
  return true;
}

int64_t SuffixMultiplier(const std::string& Suffix) {
  static const struct {
    const char* Letters;
    int64_t Multiplier;
  } Multipliers[] = {{"", 1},    {"c", 1},       {"w", 2},          {"d", 4},
                     {"q", 8},   {"k", 1024},    {"M", 1048576},    {"G", 1073741824}};
  for (const auto& Entry : Multipliers)
    if (Suffix == Entry.Letters) return Entry.Multiplier;
  return 0;
}

// count=, seek= and skip= position data on a disk: a value that does not read exactly must
// stop the run before anything is opened, never become 0.
void SetBlocks(Options& Settings, int64_t& Field, const char* Operand, const std::string& Value) {
  int64_t Blocks = 0;
  if (ParseSizeNumber(Value, Blocks) && Blocks >= 0) {
    Field = Blocks;
    return;
  }
  Log(std::string("Invalid ") + Operand + Value +
      ": BLOCKS must be a whole number from 0 to 9223372036854775807, optionally followed by "
      "c, w, d, q, k, M or G");
  Settings.Action = TAction::Usage;
  Settings.Refused = true;
}

void SetBlockSize(Options& Settings, const std::string& Number) {
  Settings.BlockSize = GetNumber(Number);
  Settings.BlockSizeText = GetSuffix(Number);
}

// An operand that is the whole argument or, ending in "=", its start with a value after it.
struct TOperand {
  const char* Text;
  void (*Apply)(Options& Settings, const std::string& Value);
};

const TOperand Operands[] = {
    {"--list", [](Options& S, const std::string&) { S.Action = TAction::List; }},
    {"--progress", [](Options& S, const std::string&) { S.Progress = true; }},
    {"--size", [](Options& S, const std::string&) { S.CheckSize = true; }},
    {"count=", [](Options& S, const std::string& V) { SetBlocks(S, S.Count, "count=", V); }},
    {"if=", [](Options& S, const std::string& V) { S.InFile = V; }},
    {"of=", [](Options& S, const std::string& V) { S.OutFile = V; }},
    {"id=",
     [](Options& S, const std::string& V) {
       S.InFile = ResolveDeviceName(V);
       SetBlockSize(S, ResolvedBlockSizeText);
       S.Progress = true;
       S.CheckSize = ResolvedWholeDisk;
     }},
    {"od=",
     [](Options& S, const std::string& V) {
       S.OutFile = ResolveDeviceName(V);
       SetBlockSize(S, ResolvedBlockSizeText);
       S.Progress = true;
     }},
    {"seek=", [](Options& S, const std::string& V) { SetBlocks(S, S.Seek, "seek=", V); }},
    {"skip=", [](Options& S, const std::string& V) { SetBlocks(S, S.Skip, "skip=", V); }},
    {"bs=", [](Options& S, const std::string& V) { SetBlockSize(S, V); }},
    {"--filter=",
     [](Options& S, const std::string& V) {
       if (V == "removable" || V == "fixed" || V == "disk" || V == "partition" || V == "file") {
         S.Filter = V;
       } else {
         Log("Invalid filter");
         S.Action = TAction::Usage;
         S.Refused = true;
       }
     }},
    {"--unmount=", [](Options& S, const std::string& V) { S.UnmountList.push_back(V); }},
    {"--help", [](Options& S, const std::string&) { S.Action = TAction::Usage; }},
    {"-h", [](Options& S, const std::string&) { S.Action = TAction::Usage; }},
};

}  // namespace

std::string GetSuffix(const std::string& Text) {
  size_t End = Text.size();
  while (End > 0 && IsLetter(Text[End - 1])) --End;
  return Text.substr(End);
}

bool ParseSizeNumber(const std::string& Text, int64_t& Value) {
  std::string Suffix = GetSuffix(Text);
  int64_t Multiplier = SuffixMultiplier(Suffix);
  int64_t Number = 0;
  // A product that does not fit must not wrap into a plausible size.
  return Multiplier != 0 && ParseInteger(Text.substr(0, Text.size() - Suffix.size()), Number) &&
         !__builtin_mul_overflow(Number, Multiplier, &Value);
}

int64_t GetNumber(const std::string& Text) {
  std::string Suffix = GetSuffix(Text);
  if (SuffixMultiplier(Suffix) == 0) {
    Log("Unknown suffix " + Suffix);
    return 0;
  }
  int64_t Value = 0;
  return ParseSizeNumber(Text, Value) ? Value : 0;
}

void ParseArgument(const std::string& Argument, Options& Settings) {
  for (const TOperand& Operand : Operands) {
    std::string Text = Operand.Text;
    bool TakesValue = Text.back() == '=';
    if (TakesValue ? StartsWith(Argument, Text) : Argument == Text) {
      Operand.Apply(Settings, TakesValue ? Argument.substr(Text.size()) : std::string());
      return;
    }
  }
  Log("Unknown command " + Argument);
  Settings.Action = TAction::Usage;
  Settings.Refused = true;
}

std::string FilterArgumentFromProgramName(const std::string& ProgramPath) {
  size_t Slash = ProgramPath.find_last_of("\\/:");
  std::string Name = Slash == std::string::npos ? ProgramPath : ProgramPath.substr(Slash + 1);
  for (char& c : Name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string Prefix = "mobri-", Extension = ".exe";
  if (Name.size() < Prefix.size() + Extension.size() || !StartsWith(Name, Prefix) ||
      !EndsWith(Name, Extension))
    return std::string();
  return "--filter=" + Name.substr(Prefix.size(), Name.size() - Prefix.size() - Extension.size());
}

void PrintUsage() {
  Log("mobri [bs=SIZE] [count=BLOCKS] [if=FILE] [of=FILE] [seek=BLOCKS] [skip=BLOCKS] [--size] "
      "[--list] [--progress]");
  Log("SIZE and BLOCKS may have one of the following suffix:");
  Log(" k = 1024");
  Log(" M = 1048576");
  Log(" G = 1073741824");
  Log("default block size (bs) is 512 bytes");
  Log("skip specifies the starting offset of the input file (if)");
  Log("seek specifies the starting offset of the output file (of)");
}
