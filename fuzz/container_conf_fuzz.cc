// The container configuration file: the input as kx_container_conf.xml beside
// the container directory, read as every remote call reads it (the loader,
// then the Configuration elements), and by the Kerberos-mode test. The
// loader must keep its buffer terminated and within its size, and what the
// reader takes must be usable: a port of digits, a host that is not empty,
// no negative count or time.
//
// Input: the file. Its first byte also picks a small buffer size for a
// second load, so that the "did not fit" path is reached by short inputs.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "be_container.h"
#include "be_loadfile.h"
#include "be_remoting.h"
#include "fuzz_workdir.h"
#include "gm_str.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "%s%s\n", what, detail.c_str());
  std::abort();
}

std::string g_conf;

void load(int max_size) {
  // Exactly max_size bytes, so that a write past them is seen by ASan.
  std::vector<char> buf(static_cast<size_t>(max_size));
  buf[0] = '\0';
  const KX_RC rc = BE_load_file_to_string(g_conf.c_str(), buf.data(), max_size);
  if (rc != KX_SUCCESS && rc != 2) fail("BE_load_file_to_string: unexpected result");
  if (strnlen(buf.data(), buf.size()) >= buf.size()) fail("loaded text not terminated");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kxfuzz::enter_workdir();
  const std::string dir = kxfuzz::workdir() + "/container";
  if (mkdir(dir.c_str(), 0755) != 0) fail("cannot make ", dir);
  const std::string table = "KX_DIR " + dir + "\n";
  kxfuzz::write_file("data/HADOOP.dat", reinterpret_cast<const uint8_t*>(table.data()),
                     table.size());
  g_conf = dir + "/../data/" + BE_CONTAINER_CONF_FILE;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kxfuzz::write_file(std::string("data/") + BE_CONTAINER_CONF_FILE, data, size);
  load(BE_CONTAINER_CONF_SIZE);
  if (size > 0) load(1 + data[0] % 64);

  ContainerSettings settings;
  settings.server = BE_REMOTE_SERVER;
  settings.port = BE_REMOTE_PORT;
  BE_read_container_configuration(&settings);
  if (settings.server.empty()) fail("empty host taken");
  if (settings.port != BE_REMOTE_PORT && GM_STR_isunsignednumber(settings.port.c_str()) != KX_SUCCESS)
    fail("port that is no number taken: ", settings.port);
  if (settings.probes < 0 || settings.sleep_seconds < 0 || settings.timeout_seconds < 0)
    fail("negative count or time taken");

  const int kerberos = isKerberosMode();
  if (kerberos != 0 && kerberos != 1) fail("isKerberosMode: neither 0 nor 1");
  return 0;
}
