#pragma once
// An ordered collection of items, each readable by its 1-based position and by a unique text
// key, as the folder walker hands out its results. Adding a key that is already present
// fails with DuplicateKeyError and leaves the collection as it was.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quill {

class DuplicateKeyError : public std::runtime_error {
  public:
    explicit DuplicateKeyError(const std::string& key)
        : std::runtime_error("the key \"" + key + "\" is already in the collection") {}
};

// Keys are indexed by an open-addressing table of positions into the item list, so a
// collection of a hundred thousand file paths costs two vectors rather than a node per key
// (which also makes dropping it cheap).
template <class T>
class KeyedCollection {
  public:
    std::size_t Count() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    void Add(T item, const std::string& key) {
        if (2 * (items_.size() + 1) > slots_.size()) grow();
        std::size_t slot = findSlot(key);
        if (slots_[slot] != 0) throw DuplicateKeyError(key);
        items_.emplace_back(key, std::move(item));
        slots_[slot] = items_.size();  // position + 1; 0 marks a free slot
    }

    // position counts from 1.
    const T& Item(std::size_t position) const {
        if (position < 1 || position > items_.size())
            throw std::out_of_range("no item at position " + std::to_string(position) +
                                    " of a collection of " + std::to_string(items_.size()));
        return items_[position - 1].second;
    }
    const T& Item(const std::string& key) const {
        std::size_t slot = slots_.empty() ? 0 : findSlot(key);
        if (slots_.empty() || slots_[slot] == 0)
            throw std::out_of_range("no item with the key \"" + key + "\"");
        return items_[slots_[slot] - 1].second;
    }
    const std::string& Key(std::size_t position) const {
        Item(position);  // range check
        return items_[position - 1].first;
    }
    bool Contains(const std::string& key) const {
        return !slots_.empty() && slots_[findSlot(key)] != 0;
    }

    // Iteration in order over (key, item) pairs.
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    // The slot holding `key`, or the free slot where it belongs. The table is never full.
    std::size_t findSlot(const std::string& key) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = std::hash<std::string>{}(key)&mask;
        while (slots_[slot] != 0 && items_[slots_[slot] - 1].first != key) slot = (slot + 1) & mask;
        return slot;
    }
    void grow() {
        std::vector<std::size_t> old = std::move(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
        for (std::size_t position : old)
            if (position != 0) slots_[findSlot(items_[position - 1].first)] = position;
    }

    std::vector<std::pair<std::string, T>> items_;
    std::vector<std::size_t> slots_;  // size a power of two, at most half in use
};

}  // namespace quill
