#pragma once
// An ordered collection of items, each readable by its 1-based position and by a unique text
// key, as the folder walker hands out its results. Adding a key that is already present
// fails with DuplicateKeyError and leaves the collection as it was.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quill {

class DuplicateKeyError : public std::runtime_error {
  public:
    explicit DuplicateKeyError(const std::string& key)
        : std::runtime_error("the key \"" + key + "\" is already in the collection") {}
};

template <class T>
class KeyedCollection {
  public:
    std::size_t Count() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    void Add(T item, const std::string& key) {
        auto [where, inserted] = positions_.emplace(key, items_.size());
        if (!inserted) throw DuplicateKeyError(key);
        items_.emplace_back(key, std::move(item));
    }

    // position counts from 1.
    const T& Item(std::size_t position) const {
        if (position < 1 || position > items_.size())
            throw std::out_of_range("no item at position " + std::to_string(position) +
                                    " of a collection of " + std::to_string(items_.size()));
        return items_[position - 1].second;
    }
    const T& Item(const std::string& key) const {
        auto found = positions_.find(key);
        if (found == positions_.end())
            throw std::out_of_range("no item with the key \"" + key + "\"");
        return items_[found->second].second;
    }
    const std::string& Key(std::size_t position) const {
        Item(position);  // range check
        return items_[position - 1].first;
    }
    bool Contains(const std::string& key) const { return positions_.count(key) != 0; }

    void reserve(std::size_t n) {
        items_.reserve(n);
        positions_.reserve(n);
    }

    // Iteration in order over (key, item) pairs.
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    std::vector<std::pair<std::string, T>> items_;
    std::unordered_map<std::string, std::size_t> positions_;
};

}  // namespace quill
