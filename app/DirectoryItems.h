// Maps the window's tree items to directory numbers. The first match wins, and the null
// item (slot 0) maps to directory 0, "no directory".
#pragma once

#include <vector>

#include "image/PathTable.h"

namespace kestrel {

template <class Item>
class DirectoryItems {
public:
    DirectoryItems() { clear(); }

    void clear() { items_.assign(1, Item{}); }

    void assign(DirectoryNumber number, Item item) {
        if (items_.size() <= number) {
            items_.resize(number + 1);
        }
        items_[number] = item;
    }

    const Item& item(DirectoryNumber number) const { return items_.at(number); }

    DirectoryNumber find(const Item& item) const {
        for (DirectoryNumber number = 0; number < items_.size(); ++number) {
            if (items_[number] == item) {
                return number;
            }
        }
        return 0;
    }

private:
    std::vector<Item> items_;
};

}  // namespace kestrel
