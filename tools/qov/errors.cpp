// errors.cpp - the one table of error names.

#include "errors.h"

#include <cstdio>

#include "QOVLib.h"

namespace qov {

namespace {

struct NamedError {
    uint32_t code;
    const char* name;
};

// Every error number QOVLib.h defines.
const NamedError kErrorNames[] = {
    {ERROR_SUCCESS, "ERROR_SUCCESS"},
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {ERROR_BAD_FORMAT, "ERROR_BAD_FORMAT"},
    {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT"},
    {ERROR_SHARING_VIOLATION, "ERROR_SHARING_VIOLATION"},
    {ERROR_HANDLE_EOF, "ERROR_HANDLE_EOF"},
    {ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
    {ERROR_FILE_EXISTS, "ERROR_FILE_EXISTS"},
    {ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {ERROR_DISK_FULL, "ERROR_DISK_FULL"},
    {ERROR_BUSY, "ERROR_BUSY"},
    {ERROR_ALREADY_EXISTS, "ERROR_ALREADY_EXISTS"},
    {ERROR_FILENAME_EXCED_RANGE, "ERROR_FILENAME_EXCED_RANGE"},
    {ERROR_CAN_NOT_COMPLETE, "ERROR_CAN_NOT_COMPLETE"},
    {ERROR_FILE_INVALID, "ERROR_FILE_INVALID"},
    {ERROR_IO_DEVICE, "ERROR_IO_DEVICE"},
    {ERROR_READ_FAULT, "ERROR_READ_FAULT"},
    {ERROR_FILE_CORRUPT, "ERROR_FILE_CORRUPT"},
    {ERROR_QOV_FILE_KEY, "ERROR_QOV_FILE_KEY"},
    {ERROR_QOV_SECTOR_CHECKSUM, "ERROR_QOV_SECTOR_CHECKSUM"},
    {ERROR_QOV_INTERNAL_FILE_NAME, "ERROR_QOV_INTERNAL_FILE_NAME"},
};

}  // namespace

const char* ErrorName(uint32_t code) {
    for (const NamedError& entry : kErrorNames)
        if (entry.code == code) return entry.name;
    return "unknown error";
}

std::string DescribeError(uint32_t code) {
    return std::string(ErrorName(code)) + " (" + std::to_string(code) + ")";
}

void Report(const std::string& message) { std::fprintf(stderr, "qov: %s\n", message.c_str()); }

void ReportError(const std::string& message, uint32_t code) { Report(message + ": " + DescribeError(code)); }

std::string Quote(const std::string& text) { return "'" + text + "'"; }

}  // namespace qov
