// What the fuzz targets share: a scratch television whose files the real code reads and writes,
// and the check that turns a property that does not hold into a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Provisions a scratch device root once per process and points TV_DEVICE_ROOT at it; removed
// again at exit, or by the next run when a finding ended this one. It lies in /dev/shm when there
// is one, where the durable writes' syncs cost nothing, else in the temporary directory. Its mark
// and log/ are taken away after provisioning: the host still reads and writes its files, but no log
// line or journal entry piles up over millions of runs.
const std::string& Device();
// ROOT/relative.
std::string DevicePath(const std::string& relative);
// Replaces the file's bytes through a temporary and a rename, as another writer would.
void PutFile(const std::string& relative, const std::string& content);
// False when there is no such file.
bool GetFile(const std::string& relative, std::string* content);

std::string Bytes(const uint8_t* data, size_t size);
// The bytes up to the first NUL: what a C string can carry.
std::string CText(const uint8_t* data, size_t size);

// A finding when `holds` is false: says what did not hold and aborts, so that libFuzzer keeps
// the input and the replay fails on it.
void Check(bool holds, const std::string& what);

}  // namespace fuzz
