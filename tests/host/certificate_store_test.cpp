#include "host/certificate_store.h"

#include <gtest/gtest.h>

#include "support/scratch_dir.h"

namespace {

// Each row a distribution's layout, as files under a system root of its own: the bundle and
// the directory the installer then trusts.
TEST(CertificateStore, FindsEachDistributionsBundleAndDirectory) {
  struct Row {
    std::vector<std::string> files;
    std::string bundle, directory;
  };
  const Row rows[] = {
      {{"etc/ssl/certs/ca-certificates.crt", "etc/ssl/cert.pem"},  // Debian (and Arch's link)
       "etc/ssl/certs/ca-certificates.crt",
       "etc/ssl/certs"},
      {{"etc/pki/tls/certs/ca-bundle.crt",
        "etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem"},  // Fedora
       "etc/pki/tls/certs/ca-bundle.crt",
       "etc/pki/tls/certs"},
      {{"etc/ssl/ca-bundle.pem"}, "etc/ssl/ca-bundle.pem", ""},  // openSUSE
      {{"etc/ssl/cert.pem", "etc/ssl/certs/README"}, "etc/ssl/cert.pem", "etc/ssl/certs"},
      {{"etc/ssl/certs/ca-certificates.crt/not-a-file"}, "", "etc/ssl/certs"},
      {{}, "", ""},
  };
  for (const Row& row : rows) {
    testsupport::ScratchDir system;
    system.makeDir("etc");
    for (const std::string& file : row.files) system.writeFile(file, "certificates");
    auto [bundle, directory] = host::findSystemCertificateStore(system.path());
    SCOPED_TRACE(row.files.empty() ? "(no store)" : row.files.front());
    EXPECT_EQ(bundle, row.bundle.empty() ? "" : system.file(row.bundle));
    EXPECT_EQ(directory, row.directory.empty() ? "" : system.file(row.directory));
  }
}

}  // namespace
