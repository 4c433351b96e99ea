// The engines' way to a file object's archive, stream and format code.
#pragma once

#include "sdk/file_interfaces.h"

// The archive and stream of one engine call; both released when it ends.
class FileInterfaces {
public:
    FileInterfaces() = default;
    ~FileInterfaces();
    FileInterfaces(const FileInterfaces&) = delete;
    FileInterfaces& operator=(const FileInterfaces&) = delete;

    // Asks `file` for IQEArchive and the archive for its stream. False when either fails.
    bool open(IUnknown* file);
    IQEArchive* archive() const { return archive_; }
    IQEStream* stream() const { return stream_; }

private:
    IQEArchive* archive_ = nullptr;
    IQEStream* stream_ = nullptr;
};

// Reads PID_File_CurrentFormat through the stream's IQEProperty (released before returning).
// False when the stream is null, has no property interface or no such property.
bool readCurrentFormat(IQEStream* stream, uint32_t* format);
