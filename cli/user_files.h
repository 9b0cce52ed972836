#pragma once

// The user's files on a player's data drive, kept on the host while a
// recovery erases the drive and put back onto the new one afterwards. Each
// copy is compared byte for byte with its original, both ways: nothing is
// called kept or back that is not.

#include <cstdint>
#include <string>
#include <vector>

namespace kx7::cli {

struct UserFile {
  std::string name;  // relative to the drive's root, folders separated by '/'
  std::uint64_t size = 0;
};

std::uint64_t TotalSize(const std::vector<UserFile>& files);

class UserFiles {
 public:
  virtual ~UserFiles() = default;

  // The files of the player at `letter`; false, with `why`, when they
  // cannot be read from here.
  virtual bool List(char letter, std::vector<UserFile>& files, std::string& why) = 0;
  // Copies them into the keep folder of `serial` and compares each copy.
  virtual bool Keep(char letter, const std::string& serial, const std::vector<UserFile>& files,
                    std::string& why) = 0;
  // The keep folder of `serial`, for people, and what it holds (files kept
  // by this run or by an earlier one that did not finish).
  virtual std::string KeptFolder(const std::string& serial) = 0;
  virtual std::vector<UserFile> Kept(const std::string& serial) = 0;
  // Puts the kept files onto the player at `letter`, replacing what is
  // there, and compares each with its kept copy; once all match the keep
  // folder is removed. False, with `why`, and the folder left, otherwise.
  virtual bool PutBack(char letter, const std::string& serial, std::string& why) = 0;
};

}  // namespace kx7::cli
