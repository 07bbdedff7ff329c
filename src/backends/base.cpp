#include "kestrune/backends/base.hpp"

#include <utility>

namespace kestrune::backends {

Json messages_to_json(const Messages& messages) {
    Json list = Json::array();
    for (const Message& message : messages) {
        Json object = Json::object();
        for (const auto& [key, value] : message.fields()) {
            object[key] = value;
        }
        list.push_back(std::move(object));
    }
    return list;
}

}  // namespace kestrune::backends
