// GnuCOBOL's record-sequential and relative files: plain files of fixed
// slots or of records behind length headers (gnucobol_files.h has their
// layouts), read and written through stdio.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/coding.h"
#include "tools/gnucobol_files.h"
#include "tools/tool_support.h"

namespace kvr::tools::gnucobol {

namespace {

std::string at_offset(uint64_t offset) {
    return "the record at offset " + std::to_string(offset);
}

size_t header_size(int format) {
    return format == 3 ? 2 : 4;
}

// Record length from a header; false when the header is not of the format.
bool decode_header(int format, const unsigned char* h, uint32_t* length) {
    switch (format) {
        case 0:
            *length = static_cast<uint32_t>(h[0] << 8 | h[1]);
            return h[2] == 0 && h[3] == 0;
        case 1:
            *length = static_cast<uint32_t>(h[0]) << 24 | static_cast<uint32_t>(h[1]) << 16 |
                      static_cast<uint32_t>(h[2]) << 8 | h[3];
            return true;
        case 2:
            *length = platform::load_u32(h);
            return true;
        default:
            *length = static_cast<uint32_t>(h[0] << 8 | h[1]);
            return true;
    }
}

// The header for a record of that length; false when the format cannot
// give it.
bool encode_header(int format, uint32_t length, unsigned char* h) {
    switch (format) {
        case 1:
            for (int i = 0; i < 4; ++i)
                h[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
            return true;
        case 2:
            platform::store_u32(h, length);
            return true;
        default:
            if (length > 0xFFFF)
                return false;
            h[0] = static_cast<unsigned char>(length >> 8);
            h[1] = static_cast<unsigned char>(length);
            if (format == 0)
                h[2] = h[3] = 0;
            return true;
    }
}

// Opens path for reading and gives its size; false with *why.
std::FILE* open_input(const std::string& path, uint64_t* size, std::string* why) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    struct stat info {};
    if (file == nullptr || ::fstat(::fileno(file), &info) != 0) {
        *why = std::strerror(errno);
        if (file != nullptr)
            std::fclose(file);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        *why = "not a regular file";
        std::fclose(file);
        return nullptr;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return file;
}

// Reads exactly length bytes; false with *why.
bool read_exactly(std::FILE* file, unsigned char* into, size_t length, std::string* why) {
    if (length == 0 || std::fread(into, 1, length, file) == length)
        return true;
    *why = std::ferror(file) != 0 ? std::strerror(errno) : "the file ended early";
    return false;
}

bool write_exactly(std::FILE* file, const unsigned char* bytes, size_t length, std::string* why) {
    if (length == 0 || std::fwrite(bytes, 1, length, file) == length)
        return true;
    *why = std::strerror(errno);
    return false;
}

bool close_file(std::FILE** file, std::string* why) {
    if (*file == nullptr)
        return true;
    const bool closed = std::fclose(*file) == 0;
    *file = nullptr;
    if (!closed)
        *why = std::strerror(errno);
    return closed;
}

// For a destructor: a failed close there has no one to tell.
void close_unchecked(std::FILE** file) {
    std::string ignored;
    close_file(file, &ignored);
}

// One Berkeley DB database file, opened on its own (no environment, as
// GnuCOBOL opens it when COB_BDB_HOME is not set). The library's own

}  // namespace

bool SequentialReader::open(const std::string& path, uint32_t min_length, uint32_t max_length,
                            int varseq_format, std::string* why) {
    headers_ = has_record_headers(min_length, max_length);
    max_length_ = max_length;
    format_ = varseq_format;
    if ((file_ = open_input(path, &size_, why)) == nullptr)
        return false;
    if (!headers_ && size_ % max_length != 0) {
        *why = "holds " + std::to_string(size_) + " bytes, not a whole number of " +
               std::to_string(max_length) +
               "-byte records: written with another record length, or with variable-length "
               "records (--record MIN-MAX)";
        return false;
    }
    return true;
}

SequentialReader::~SequentialReader() {
    close_unchecked(&file_);
}

Read SequentialReader::next(std::vector<unsigned char>* record, std::string* why) {
    if (position_ >= size_)
        return Read::kEnd;
    record_offset_ = position_;
    uint32_t length = max_length_;
    if (headers_) {
        unsigned char header[4] = {};
        const size_t h = header_size(format_);
        if (size_ - position_ < h) {
            *why = at_offset(position_) + ": the file ends inside its record header";
            return Read::kFailed;
        }
        if (!read_exactly(file_, header, h, why))
            return Read::kFailed;
        position_ += h;
        if (!decode_header(format_, header, &length)) {
            *why = at_offset(record_offset_) + ": its header " + hex_bytes(header, h) +
                   " is not a record length of COB_VARSEQ_FORMAT " + std::to_string(format_) +
                   ": the file has fixed-length records (--record LEN), or another format "
                   "(--varseq-format)";
            return Read::kFailed;
        }
        if (length > size_ - position_) {
            *why = at_offset(record_offset_) + ": its header gives " + std::to_string(length) +
                   " bytes, but only " + std::to_string(size_ - position_) +
                   " follow: the file was cut short, or its records have no headers of format " +
                   std::to_string(format_);
            return Read::kFailed;
        }
    }
    record->resize(length);
    if (!read_exactly(file_, record->data(), length, why))
        return Read::kFailed;
    position_ += length;
    return Read::kRecord;
}

bool RelativeReader::open(const std::string& path, uint32_t max_length, std::string* why) {
    max_length_ = max_length;
    uint64_t size = 0;
    if ((file_ = open_input(path, &size, why)) == nullptr)
        return false;
    const uint64_t slot = kSlotLengthSize + max_length;
    if (size % slot != 0) {
        *why = "holds " + std::to_string(size) + " bytes, not a whole number of " +
               std::to_string(slot) + "-byte slots (an 8-byte length and " +
               std::to_string(max_length) +
               " bytes of record): written with another record length, or not a relative file";
        return false;
    }
    slots_ = size / slot;
    slot_.resize(static_cast<size_t>(slot));
    return true;
}

RelativeReader::~RelativeReader() {
    close_unchecked(&file_);
}

Read RelativeReader::next(uint32_t* number, std::vector<unsigned char>* record, std::string* why) {
    while (next_slot_ < slots_) {
        const uint64_t n = ++next_slot_;
        if (!read_exactly(file_, slot_.data(), slot_.size(), why))
            return Read::kFailed;
        const uint64_t length = platform::load_u64(slot_.data());
        if (length == 0)
            continue;  // never written, or deleted
        if (length > max_length_) {
            *why = "record number " + std::to_string(n) + ": its length word says " +
                   std::to_string(length) + " bytes, more than the " + std::to_string(max_length_) +
                   " bytes of a slot: the file was written with another record length";
            return Read::kFailed;
        }
        if (n > UINT32_MAX) {
            *why = "record number " + std::to_string(n) +
                   " is beyond the numbers a file of "
                   "this system can hold";
            return Read::kFailed;
        }
        *number = static_cast<uint32_t>(n);
        record->assign(slot_.begin() + kSlotLengthSize,
                       slot_.begin() + static_cast<std::ptrdiff_t>(kSlotLengthSize + length));
        return Read::kRecord;
    }
    return Read::kEnd;
}

SequentialWriter::~SequentialWriter() {
    close_unchecked(&file_);
}

bool SequentialWriter::create(const std::string& path, uint32_t min_length, uint32_t max_length,
                              int varseq_format, std::string* why) {
    headers_ = has_record_headers(min_length, max_length);
    max_length_ = max_length;
    format_ = varseq_format;
    if ((file_ = std::fopen(path.c_str(), "wbx")) == nullptr) {
        *why = std::strerror(errno);
        return false;
    }
    return true;
}

bool SequentialWriter::write(const unsigned char* data, size_t length, std::string* why) {
    if (!headers_) {
        if (length != max_length_) {
            *why = std::to_string(length) +
                   " bytes; every record of a fixed-length GnuCOBOL "
                   "file has " +
                   std::to_string(max_length_);
            return false;
        }
        return write_exactly(file_, data, length, why);
    }
    unsigned char header[4] = {};
    if (length > UINT32_MAX || !encode_header(format_, static_cast<uint32_t>(length), header)) {
        *why = std::to_string(length) + " bytes, more than a record header of COB_VARSEQ_FORMAT " +
               std::to_string(format_) + " can give";
        return false;
    }
    return write_exactly(file_, header, header_size(format_), why) &&
           write_exactly(file_, data, length, why);
}

bool SequentialWriter::close(std::string* why) {
    return close_file(&file_, why);
}

RelativeWriter::~RelativeWriter() {
    close_unchecked(&file_);
}

bool RelativeWriter::create(const std::string& path, uint32_t max_length, std::string* why) {
    max_length_ = max_length;
    slot_.assign(kSlotLengthSize + max_length, 0);
    if ((file_ = std::fopen(path.c_str(), "wbx")) == nullptr) {
        *why = std::strerror(errno);
        return false;
    }
    return true;
}

bool RelativeWriter::write(uint32_t number, const unsigned char* data, size_t length,
                           std::string* why) {
    const uint64_t slot = slot_.size();
    const uint64_t offset = (uint64_t{number} - 1) * slot;
    if (number == 0 || offset < end_) {
        *why = "record number " + std::to_string(number) + " out of order";
        return false;
    }
    if (length > max_length_) {
        *why = std::to_string(length) + " bytes, more than the file's longest record";
        return false;
    }
    // Slots never written read as zeros: a length of 0, no record.
    if (offset > end_ && ::fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) {
        *why = std::strerror(errno);
        return false;
    }
    std::fill(slot_.begin(), slot_.end(), 0);
    platform::store_u64(slot_.data(), length);
    if (length != 0)
        std::memcpy(slot_.data() + kSlotLengthSize, data, length);
    end_ = offset + slot;
    return write_exactly(file_, slot_.data(), slot_.size(), why);
}

bool RelativeWriter::close(std::string* why) {
    return close_file(&file_, why);
}

}  // namespace kvr::tools::gnucobol
