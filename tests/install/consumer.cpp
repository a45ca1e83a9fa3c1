// A tiny C++ program built against the installed library and headers.
#include <cstdio>
#include <cstdlib>
#include <kiv/ipod.hpp>
#include <string>

int main() {
    using kiv::ipod::Value;
    Value v = Value::hash({{"result", 1}});
    std::int32_t len = 0;
    std::uint8_t *bytes = serialize(v.get(), &len);
    Value back = Value::adopt(unserialize(bytes, len));
    std::free(bytes);
    bool ok = back && back.view()->find("result")->as_int() == 1;
    // Whether or not a daemon runs here, connecting answers without exceptions.
    auto client = kiv::ipod::Client::connect();
    ok = ok && (client || !client.error().text().empty());
    std::puts(ok ? "c++ consumer ok" : "c++ consumer: wrong result");
    return ok ? 0 : 1;
}
