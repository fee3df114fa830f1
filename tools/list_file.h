// list_file.h - the assigner's list file: a count N, then N descriptor file names,
// all separated by white space (a name cannot hold a blank). Mapped, not copied.
#ifndef KMEANS_LIST_FILE_H
#define KMEANS_LIST_FILE_H

#include <string>

#include "text_scan.h"

class ListFile {
public:
    kmeans::ReadStatus open(const char* path) {
        const kmeans::ReadStatus status = file_.open(path);
        cursor_ = file_.data();
        return status;
    }
    // The count: a non-negative integer token.
    bool readCount(int& count) {
        bool ok = false;
        cutShort_ = !file_.guard([&] {
            ok = kmeans::scan_int(cursor_, file_.end(), count) && count >= 0;
            return true;
        });
        return ok && !cutShort_;
    }
    // The next name, or an empty one when the list has no more.
    std::string next() {
        const char* s = cursor_;
        if (cutShort_ || !file_.guard([&] {
                s = kmeans::skip_space(cursor_, file_.end());
                cursor_ = kmeans::skip_token(s, file_.end());
                return true;
            })) {
            cutShort_ = true;
            return std::string();
        }
        return std::string(s, std::size_t(cursor_ - s));
    }
    // True once a read met the list cut short after it was mapped (its pages fault):
    // what was read of it cannot be trusted.
    bool cutShort() const { return cutShort_; }

private:
    kmeans::MappedFile file_;
    const char* cursor_ = nullptr;
    bool cutShort_ = false;
};

#endif
