#include "ops/StrictJson.h"

#include <iterator>
#include <optional>
#include <vector>

namespace kestrel {

namespace {

using Json = nlohmann::json;

// Hands the text to the parser and keeps how far it has read. The parser reads no further
// than the last byte of the value, which is how the bytes after it are found.
class CountingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    CountingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}

    reference operator*() const { return *at_; }
    CountingIterator& operator++() {
        *furthest_ = ++at_;
        return *this;
    }
    CountingIterator operator++(int) {
        auto before = *this;
        ++*this;
        return before;
    }
    bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

private:
    const char* at_;
    const char** furthest_;
};

// Builds the value as nlohmann-json's own reader does, refusing what it would let pass.
class StrictReader : public nlohmann::json_sax<Json> {
public:
    explicit StrictReader(const std::string& what) : what_(what) {}

    Result<Json> result() && {
        if (error_) {
            return *error_;
        }
        return std::move(root_);
    }

    bool null() override { return add(nullptr); }
    bool boolean(bool value) override { return add(value); }
    bool number_integer(number_integer_t value) override { return add(value); }
    bool number_unsigned(number_unsigned_t value) override { return add(value); }
    bool number_float(number_float_t value, const string_t& text) override {
        // A whole number past 64 bits is read as the nearest double, another number.
        if (text.find_first_of(".eE") == std::string::npos) {
            return outOfRange(text);
        }
        return add(value);
    }
    bool string(string_t& value) override { return add(std::move(value)); }
    bool binary(binary_t&) override { return false; }  // never in JSON text
    bool start_object(std::size_t) override { return enter(Json::object()); }
    bool key(string_t& key) override {
        if (open_.back()->contains(key)) {
            const std::string& place = places_.back();
            return refuse(what_ + " has \"" + key + "\" twice in " +
                          (place.empty() ? "its outer object" : "the object at " + place));
        }
        key_ = key;
        return true;
    }
    bool end_object() override { return leave(); }
    bool start_array(std::size_t) override { return enter(Json::array()); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string& token,
                     const nlohmann::detail::exception& error) override {
        // 406: a number the parser read but cannot hold.
        if (error.id == 406) {
            return outOfRange(token);
        }
        const std::string message = error.what();
        return refuse(what_ + " is not JSON: " + message.substr(message.find("] ") + 2));
    }

private:
    // Where the next value goes, as a JSON pointer.
    std::string nextPlace() const {
        if (open_.empty()) {
            return "";
        }
        return places_.back() + "/" +
               (open_.back()->is_array() ? std::to_string(open_.back()->size()) : key_);
    }

    Json* place(Json value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *open_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        return &(parent[key_] = std::move(value));
    }

    bool add(Json value) {
        place(std::move(value));
        return true;
    }
    bool enter(Json container) {
        places_.push_back(nextPlace());
        open_.push_back(place(std::move(container)));
        return true;
    }
    bool leave() {
        open_.pop_back();
        places_.pop_back();
        return true;
    }
    bool outOfRange(const std::string& number) {
        const std::string place = nextPlace();
        return refuse(what_ + "'s number " + number + (place.empty() ? "" : " at " + place) +
                      " is out of range");
    }
    bool refuse(std::string message) {
        error_ = Error{ErrorKind::InvalidInput, std::move(message)};
        return false;
    }

    const std::string& what_;
    Json root_;
    std::vector<Json*> open_;  // the objects and arrays being read, the innermost last
    std::vector<std::string> places_;
    std::string key_;
    std::optional<Error> error_;
};

}  // namespace

Result<Json> parseStrictJson(std::string_view text, const std::string& what) {
    // The parser takes a zero byte for the end of the text, so it is given only what lies
    // before one; JSON holds none, not even in a string.
    const size_t zero = text.find('\0');
    const std::string_view before = text.substr(0, zero);
    StrictReader reader(what);
    const char* read = before.data();
    const CountingIterator begin(before.data(), &read);
    const CountingIterator end(before.data() + before.size(), &read);
    Json::sax_parse(begin, end, &reader, nlohmann::json::input_format_t::json, false);
    auto value = std::move(reader).result();
    const size_t after = static_cast<size_t>(read - before.data());
    // A value cut short by the zero byte is refused for the byte, not for the cut.
    if (!value && (zero == std::string_view::npos || after < before.size())) {
        return value.error();
    }
    const size_t more = value ? text.find_first_not_of(" \t\n\r", after) : zero;
    if (more == zero && zero != std::string_view::npos) {
        return Error{ErrorKind::InvalidInput,
                     what + " holds a zero byte at byte offset " + std::to_string(zero)};
    }
    if (more != std::string_view::npos) {
        return Error{ErrorKind::InvalidInput,
                     what + " goes on after its end, at byte offset " + std::to_string(more)};
    }
    return value;
}

}  // namespace kestrel
