#pragma once

#include <ctime>
#include <string>
#include <vector>

// One copy in the quarantine, as its file name and header tell it.
struct QuarantinedMessage {
    std::string path;
    std::string uidl;
    int score = 0;
    std::time_t deletedAt = 0;  // when the copy was written, just before the deletion
    std::string from;           // the header fields' values as they stand, undecoded
    std::string subject;
    std::string date;
};

// The copies of the messages Quarantine deleted from one account's mailbox: a Maildir
// at `<data directory>quarantine/<user name>@<server>/`, so that any mail program can
// import it. Each message is a file of its own, mode 0600, byte for byte as the server
// sent it (dot-stuffing undone, CRLF kept). Its name keeps the time it was written, the
// message's unique id (in hex, since an id may hold any printable byte) and its score:
// `<time>.P<pid>Q<n>.quorvane,uid=<hex>,score=<n>:2,S`. The info after ":2," holds
// flags only, because mail programs read every letter there as a flag.
class Quarantine {
  public:
    Quarantine(const std::string& dataDirectory, const std::string& account);

    // The account's folder name: '/' and a leading '.' become '_', so no name leaves
    // the quarantine.
    static std::string FolderName(const std::string& account);
    static std::string RootOf(const std::string& dataDirectory);
    const std::string& Folder() const { return folder_; }

    // Writes the copy in tmp, makes it reach the disk, renames it into cur and makes
    // that rename reach the disk too. Only then is the copy safe, and `path` names it.
    // False, with the reason in `why`, when any step failed; nothing is left behind.
    [[nodiscard]] bool Keep(const std::string& bytes, const std::string& uidl, int score,
                            std::time_t now, std::string& path, std::string& why);
    // Takes back a copy whose message stayed on the server.
    void Discard(const std::string& path);
    // The account's copies, oldest first.
    std::vector<QuarantinedMessage> List() const;

    // Removes, in every account's quarantine, the copies written more than `days` days
    // before `now`, and what a write cut short left in tmp. Returns how many went.
    static int Expire(const std::string& dataDirectory, std::time_t now, int days);

  private:
    bool MakeFolders(std::string& why) const;

    std::string folder_;
};
