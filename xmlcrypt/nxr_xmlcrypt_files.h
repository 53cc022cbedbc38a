// The ends of the service's file road: an input read piece by piece (a file,
// or standard input), an output written into an unnamed file that takes its
// name only when it is complete, a scratch file that holds a container until
// its document has passed the check, and standard output. Both refuse anything that is not a regular file without waiting
// on it, and both take an exclusive lock, so a file another docseal holds is
// refused as a file opened without sharing would be. Every refusal is thrown
// as an exception of the logging family that has written its record.
#pragma once
#include "nxr_buffer.h"
#include "nxr_os_file.h"
#include "nxr_wchar_string.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace nxr {

// Takes the bytes of a road.
class CNXRByteSink {
public:
    virtual ~CNXRByteSink() = default;
    // Appends all of it; CWriteFileException when that fails.
    virtual void write(const NXR_BYTE* pData, size_t ulCount) = 0;
    // Writes over bytes already written, from ullOffset.
    virtual void writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount) = 0;
};

class CNXRSpillFile;

// An input, open for reading for the whole operation.
class CNXRInputFile {
public:
    // CCreateFileException when the file cannot be opened or is locked,
    // CInvalidFileException when it is not a regular file.
    explicit CNXRInputFile(const CNXRWCharString& fileName);
    // An open handle, which it takes over, of any type; label names it in
    // records. Not locked.
    CNXRInputFile(os::FileHandle hFile, const CNXRWCharString& label);
    ~CNXRInputFile();
    CNXRInputFile(const CNXRInputFile&) = delete;
    CNXRInputFile& operator=(const CNXRInputFile&) = delete;

    // The size, known for a regular file only; a pipe is read to its end.
    bool sizeKnown() const { return m_info.bRegular; }
    uint64_t size() const { return m_info.ullSize; }
    uint32_t permissions() const { return m_info.ulMode & 0777; }
    // Fills pBuffer with the next bytes, up to ulMax; fewer only at the end
    // of the file, 0 there. CInvalidFileException when reading fails.
    size_t read(NXR_BYTE* pBuffer, size_t ulMax);
    // Exactly ulCount bytes from ullOffset, leaving the reading position
    // alone; CInvalidFileException when reading fails or the file is shorter.
    void readAt(uint64_t ullOffset, NXR_BYTE* pBuffer, size_t ulCount);

private:
    CNXRWCharString m_fileName;
    os::CFileOwner m_file;
    os::FileInfo m_info;
};

// An output: written into an unnamed file in the destination folder and
// given its name only by commit(). An output never committed leaves nothing
// behind.
class CNXROutputFile : public CNXRByteSink {
public:
    // ulNewMode: the permission bits of a new output (the umask applies). An
    // existing output must be a regular file the caller may open for writing
    // (CCreateFileException otherwise, with the error, or
    // CInvalidFileException when it is no regular file); it is locked, and
    // its replacement keeps its permission bits, and its owner and group
    // where the process may set them. A name that is a symbolic link keeps
    // the link: its target is replaced, in the target's folder. A dangling
    // link is refused.
    CNXROutputFile(const CNXRWCharString& fileName, uint32_t ulNewMode);
    ~CNXROutputFile() override;
    CNXROutputFile(const CNXROutputFile&) = delete;
    CNXROutputFile& operator=(const CNXROutputFile&) = delete;

    // CWriteFileException when the disk refuses.
    void write(const NXR_BYTE* pData, size_t ulCount) override;
    void writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount) override;
    // Appends all that spill holds.
    void append(const CNXRSpillFile& spill);
    // Syncs the data, gives it the output's name atomically (replacing the
    // old file) and syncs the folder; CWriteFileException when the output
    // could not take its name. A folder that cannot be synced once it has
    // is only a warning: the output is in place.
    void commit();

private:
    void openExisting(const std::string& path);
    void createData(uint32_t ulMode);
    void keepProtection();

    // Declared in the order of release, last first: the data goes, then
    // its temporary name, then the folder, then the lock on the old output.
    CNXRWCharString m_fileName;
    os::CFileOwner m_existing; // the old output, locked
    os::FileInfo m_existingInfo;
    os::CFileOwner m_folder;   // where the output goes
    std::string m_finalName;   // its name there
    os::CTemporaryName m_temp; // a name the data has before its final one
    os::CFileOwner m_data;
    bool m_bNamed = false;     // the data lives under m_temp from the start
    bool m_bCommitted = false;
};

// Standard output, written as it is (a pipe, a file, a terminal).
class CNXRStandardOutput : public CNXRByteSink {
public:
    CNXRStandardOutput();
    ~CNXRStandardOutput() override;
    CNXRStandardOutput(const CNXRStandardOutput&) = delete;
    CNXRStandardOutput& operator=(const CNXRStandardOutput&) = delete;

    // CWriteFileException when the reader has gone or the disk refuses.
    void write(const NXR_BYTE* pData, size_t ulCount) override;
    // What went out cannot be taken back: CWriteFileException (ESPIPE).
    void writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount) override;
    // Writes all that spill holds.
    void append(const CNXRSpillFile& spill);
};

// A scratch file in $TMPDIR (/tmp when unset) that no other process can
// reach by a name and that vanishes with the process, whatever ends it. It
// only ever holds containers: ciphertext, never a document in the clear.
class CNXRSpillFile : public CNXRByteSink {
public:
    // CCreateFileException when it cannot be made.
    CNXRSpillFile();
    ~CNXRSpillFile() override;
    CNXRSpillFile(const CNXRSpillFile&) = delete;
    CNXRSpillFile& operator=(const CNXRSpillFile&) = delete;

    void write(const NXR_BYTE* pData, size_t ulCount) override;
    void writeAt(uint64_t ullOffset, const NXR_BYTE* pData, size_t ulCount) override;
    // Appends the rest of input, refusing it (CBadArgException) once it
    // passes ullMax bytes.
    void fill(CNXRInputFile& input, uint64_t ullMax);
    // What was written, read from its start, as a regular file of that size.
    CNXRInputFile& input();
    // The file, for the outputs that copy it.
    os::FileHandle handle() const { return m_file.get(); }

private:
    os::CFileOwner m_file;
    std::optional<CNXRInputFile> m_input;
};

} // namespace nxr
