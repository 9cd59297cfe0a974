#include "Connection.h"

#include <utility>

namespace hNet {

Connection::Connection(Socket socket, Endpoint endpoint)
    : socket(socket),
      endpoint(std::move(endpoint)),
      description("[" + this->endpoint.GetIpString() + ":" +
                  std::to_string(this->endpoint.GetPort()) + "]") {}

}  // namespace hNet
