#include "Connection.h"

#include <utility>

namespace hNet {

Connection::Connection(Socket socket, Endpoint endpoint)
    : socket(socket), endpoint(std::move(endpoint)), description(Describe(this->endpoint)) {}

}  // namespace hNet
