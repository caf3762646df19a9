#include "mobri_copy.h"

#include <cstring>
#include <memory>

#include "MT19937.h"
#include "Native.h"
#include "T95Disk.h"
#include "WinBinFile.h"
#include "debug.h"
#include "mobri_cmdline.h"

namespace {

enum class TInputKind { Zero, Random, Handle };

bool StartsWith(const std::string& Text, const std::string& Prefix) {
  return Text.compare(0, Prefix.size(), Prefix) == 0;
}

bool ValidHandle(HANDLE Handle) { return Handle != INVALID_HANDLE_VALUE && Handle != nullptr; }

// A standard handle, with a meaningful last error when the process has none.
HANDLE StandardHandle(DWORD Which) {
  HANDLE Handle = GetStdHandle(Which);
  if (Handle == nullptr) SetLastError(ERROR_INVALID_HANDLE);
  return Handle;
}

// One page-aligned, zero-filled block buffer for the whole run; it starts zeroed, which is
// all the zero source ever needs.
class TBlockBuffer {
 public:
  explicit TBlockBuffer(int64_t Size)
      : Data(static_cast<unsigned char*>(
            VirtualAlloc(nullptr, static_cast<SIZE_T>(Size), MEM_COMMIT | MEM_RESERVE,
                         PAGE_READWRITE))) {}
  ~TBlockBuffer() {
    if (Data) VirtualFree(Data, 0, MEM_RELEASE);
  }
  TBlockBuffer(const TBlockBuffer&) = delete;
  TBlockBuffer& operator=(const TBlockBuffer&) = delete;
  unsigned char* const Data;
};

// Takes over a handle that opened, or reports the step that failed; false ends the copy.
bool Attach(TBinaryFile& File, HANDLE Handle, const char* FailedStep) {
  if (!ValidHandle(Handle)) {
    ReportError(FailedStep);
    return false;
  }
  File.AttachHandle(Handle);
  return true;
}

// Opens the input by kind of name; false ends the copy (its message is printed).
bool OpenInput(const std::string& InFile, bool CheckSize, TBinaryFile& Input, TInputKind& Kind,
               int64_t& DeviceLength) {
  Kind = TInputKind::Handle;
  if (InFile == "/dev/zero") {
    Kind = TInputKind::Zero;
    return true;
  }
  if (InFile == "/dev/random") {
    Kind = TInputKind::Random;
    SeedFromClock();
    return true;
  }
  if (InFile == "-")
    return Attach(Input, StandardHandle(STD_INPUT_HANDLE), "native opening standard input");
  if (StartsWith(InFile, "\\\\:\\")) {
    Log("NYI Reading DISK " + InFile.substr(4));
    return false;
  }
  if (StartsWith(InFile, "\\\\?\\")) {
    HANDLE Handle = NativeOpen(InFile.substr(3).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (!Attach(Input, Handle, "native opening input file")) return false;
    if (CheckSize) DeviceLength = DeviceSize(Handle);
    return true;
  }
  if (InFile.size() == 2 && InFile[1] == ':') Log("read 95 disk NYI");
  Input.SetFileName(InFile);
  if (!Input.Open(0)) {
    ReportError("opening input file");
    return false;
  }
  return true;
}

// Standard input cannot be positioned: whole blocks are read and dropped until Skip bytes
// are gone. A pipe may hand over less than a block per read, so count what arrived.
void SkipStandardInput(TBinaryFile& Input, unsigned char* Buffer, int64_t BlockSize,
                       int64_t Skip) {
  int64_t Left = Skip;
  while (Left > 0) {
    DWORD Got = Input.Read(Buffer, static_cast<DWORD>(Left < BlockSize ? Left : BlockSize));
    if (Got == 0) break;
    Left -= Got;
  }
}

void SkipInput(TBinaryFile& Input, TInputKind Kind, const std::string& InFile,
               unsigned char* Buffer, int64_t BlockSize, int64_t Skip) {
  if (Skip <= 0) return;
  if (InFile == "-") {
    SkipStandardInput(Input, Buffer, BlockSize, Skip);
    return;
  }
  // The virtual sources have no position; their stream is the same from any offset.
  if (Kind != TInputKind::Handle) {
    Log("skip to " + std::to_string(Skip));
    return;
  }
  Input.Seek(Skip);
  Log("skip to " + std::to_string(Input.Position()));
}

// Opens the output by kind of name; false ends the copy (its message is printed).
bool OpenOutput(const std::string& OutFile, TBinaryFile& Output, bool& NullOutput) {
  NullOutput = OutFile == "/dev/null";
  if (NullOutput) return true;
  if (OutFile == "-")
    return Attach(Output, StandardHandle(STD_OUTPUT_HANDLE), "native opening standard output");
  if (StartsWith(OutFile, "\\\\?\\"))
    return Attach(Output,
                  NativeOpen(OutFile.substr(3).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr),
                  "native opening file");
  // An existing file is written in place, never truncated.
  Output.SetFileName(OutFile);
  if (Output.CreateNew()) return true;
  DWORD CreateError = GetLastError();
  if (Output.Open(2)) return true;
  // With no file there to open, only the create's error tells why (a folder not writable).
  DWORD OpenError = GetLastError();
  if (OpenError == ERROR_FILE_NOT_FOUND || OpenError == ERROR_PATH_NOT_FOUND)
    SetLastError(CreateError);
  ReportError("opening output file");
  return false;
}

// A pipe or a console has no position: the data would land at its start.
bool SeekOutput(TBinaryFile& Output, const std::string& OutFile, int64_t Seek) {
  if (GetFileType(Output.Handle) != FILE_TYPE_DISK) {
    Log("Output " + OutFile + " cannot seek: seek= needs a file or a device as output");
    return false;
  }
  if (!Output.Seek(Seek)) {
    ReportError("seeking output file");
    return false;
  }
  return true;
}

// Writes Count bytes, again for whatever a write left over, while each write stores
// something. Answers the bytes stored; when short, the last error tells why.
DWORD WriteAll(TBinaryFile& Output, const unsigned char* Buffer, DWORD Count) {
  DWORD Done = 0;
  while (Done < Count) {
    SetLastError(0);
    DWORD Put = Output.Write(Buffer + Done, Count - Done);
    if (Put == 0) break;
    Done += Put;
  }
  return Done;
}

// Writes Got bytes; a device that takes only whole sectors gets the short block padded
// with zeros to a full one. The answer counts the bytes of the block that were stored.
DWORD WriteBlock(TBinaryFile& Output, bool NullOutput, unsigned char* Buffer, DWORD Got,
                 DWORD BlockSize) {
  if (NullOutput) return Got;
  DWORD Put = WriteAll(Output, Buffer, Got);
  if (Put == 0 && Got != BlockSize && GetLastError() == ERROR_INVALID_PARAMETER) {
    memset(Buffer + Got, 0, BlockSize - Got);
    DWORD Whole = WriteAll(Output, Buffer, BlockSize);
    Put = Whole < Got ? Whole : Got;
  }
  return Put;
}

// Total as a whole percentage of Whole, without overflowing on huge counts.
int64_t Percent(int64_t Total, int64_t Count, int64_t BlockSize) {
  int64_t Whole = 0, Scaled = 0;
  if (!__builtin_mul_overflow(Count, BlockSize, &Whole) &&
      !__builtin_mul_overflow(Total, int64_t(100), &Scaled))
    return Scaled / Whole;
  return static_cast<int64_t>(static_cast<long double>(Total) * 100 /
                              (static_cast<long double>(Count) * BlockSize));
}

// 1234567 as "1,234,567".
std::string GroupThousands(int64_t Value) {
  std::string Digits = std::to_string(Value);
  size_t First = Digits[0] == '-' ? 1 : 0;
  for (size_t At = Digits.size(); At > First + 3; At -= 3) Digits.insert(At - 3, ",");
  return Digits;
}

}  // namespace

bool CopyData(std::string InFile, std::string OutFile, bool CheckSize, TProgressEvent Progress,
              int64_t Seek, int64_t Skip, int64_t Count, int64_t BlockSize) {
  if (BlockSize > MOBRI_MAX_BLOCK_SIZE) {
    Log("Block size " + std::to_string(BlockSize) + " is too large: a block holds at most " +
        std::to_string(MOBRI_MAX_BLOCK_SIZE) + " bytes");
    return false;
  }
  TBlockBuffer Buffer(BlockSize);
  if (!Buffer.Data) {
    Log("Not enough memory for a block of " + std::to_string(BlockSize) + " bytes");
    return false;
  }
  const DWORD Block = static_cast<DWORD>(BlockSize);

  TBinaryFile Input;
  TInputKind Kind;
  int64_t DeviceLength = 0;
  if (!OpenInput(InFile, CheckSize, Input, Kind, DeviceLength)) return false;
  SkipInput(Input, Kind, InFile, Buffer.Data, BlockSize, Skip);

  TBinaryFile Output;
  bool NullOutput = false;
  std::unique_ptr<T95DriveOutput> Drive95;
  if (Is95DriveName(OutFile)) {
    Drive95.reset(new T95DriveOutput(OutFile, Seek, BlockSize));
  } else {
    if (!OpenOutput(OutFile, Output, NullOutput)) return false;
    if (Seek > 0 && !NullOutput && !SeekOutput(Output, OutFile, Seek)) return false;
  }

  if (Progress) Progress(GetLastError(), 0, false);

  int64_t FullIn = 0, PartialIn = 0, FullOut = 0, PartialOut = 0, Total = 0;
  bool Failed = false;
  // 64-bit, so runs of more than 2^31 blocks keep counting.
  for (int64_t BlockIndex = 0; Count == -1 || BlockIndex < Count; ++BlockIndex) {
    int64_t ReadSize = BlockSize;
    if (CheckSize && DeviceLength > 0 && (BlockIndex + 1) * BlockSize + Skip > DeviceLength)
      ReadSize = DeviceLength - (BlockIndex * BlockSize + Skip);
    // Nothing left of the device (also when the skip went past its end).
    if (ReadSize <= 0) break;

    DWORD Got = Block;
    if (Kind == TInputKind::Random) {
      FillRandom(Buffer.Data, Block);
    } else if (Kind == TInputKind::Handle) {
      SetLastError(0);
      Got = Input.Read(Buffer.Data, static_cast<DWORD>(ReadSize));
    }
    if (Got == Block) {
      ++FullIn;
    } else if (Got > 0) {
      ++PartialIn;
    } else {
      // An empty read at the end of a file or of a closed pipe ends the copy silently.
      DWORD Error = GetLastError();
      if (Error != 0 && Error != ERROR_BROKEN_PIPE) {
        ReportError("reading file");
        Failed = true;
      }
      break;
    }

    DWORD Put = Drive95 ? Drive95->Write(Buffer.Data, Got)
                        : WriteBlock(Output, NullOutput, Buffer.Data, Got, Block);
    Total += Put;
    if (Put == Block)
      ++FullOut;
    else if (Put > 0)
      ++PartialOut;
    if (Put < Got) {
      // Going on would shift everything after the gap: stop at the first block not stored.
      DWORD Error = GetLastError();
      if (Error != 0)
        ReportError("writing file");
      else
        Log("Error writing file: the output took no more data");
      if (Progress) Progress(Error, Total, false);
      Failed = true;
      break;
    }

    if (Progress && Progress(0, Total, false)) break;
    if (ReadSize < BlockSize) break;
  }

  if (Progress) {
    Progress(0, Total, true);
    Log("");
  }
  Log(std::to_string(FullIn) + "+" + std::to_string(PartialIn) + " records in");
  Log(std::to_string(FullOut) + "+" + std::to_string(PartialOut) + " records out");
  return !Failed;
}

void TMobriProgress::SetUnit(const std::string& Text) {
  UnitText = Text;
  UnitSize = GetNumber("1" + Text);
}

std::string TMobriProgress::ProgressText(int64_t Total) const {
  std::string Line = "\r" + GroupThousands(Total / (UnitSize > 0 ? UnitSize : 1)) + UnitText;
  if (Count > 0) Line += " " + std::to_string(Percent(Total, Count, BlockSize)) + "%";
  return Line + " ";
}

bool TMobriProgress::ShowProgress(DWORD, int64_t Total, bool Final) {
  // Drawing after every small block costs more than the copy; ten times a second is enough.
  DWORD Now = GetTickCount();
  if (Final ? Drawn && Total == DrawnTotal : Drawn && Now - DrawnAt < 100) return false;
  std::string Line = ProgressText(Total);
  DWORD Written = 0;
  WriteFile(GetStdHandle(Channel), Line.data(), static_cast<DWORD>(Line.size()), &Written,
            nullptr);
  Drawn = true;
  DrawnAt = Now;
  DrawnTotal = Total;
  return false;
}
