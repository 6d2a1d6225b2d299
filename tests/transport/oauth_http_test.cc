// The OAuth client as the HTTP client's token provider, against the test
// trust center: the stored token goes out as the bearer token, and a 401
// makes the next request log in anew.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/scoped_env.h"
#include "support/temp_dir.h"
#include "support/trust_center_sim.h"
#include "transport/http_client.h"
#include "transport/oauth_client.h"

namespace belmor::korvex {
namespace {

using belmor::testing::ReadFile;
using belmor::testing::ScopedEnv;
using belmor::testing::TrustCenterSim;
using belmor::testing::WriteFile;

TEST(OAuthHttpTest, RefusedTokenDropsTheLoginAndTheNextRequestLogsIn) {
  TrustCenterSim sim;
  std::vector<std::string> storedLogins;
  TransportSettings settings;
  settings.caFile = sim.CaFile();
  settings.hinAuthUrl = sim.LoginBaseUrl();
  settings.hinTokenUrl = sim.TokenBaseUrl();
  settings.hinStartPage = sim.LoginBaseUrl() + "/start";
  settings.storeHinLogin = [&storedLogins](const std::string& login) { storedLogins.push_back(login); };
  SetTransportSettings(settings);
  ScopedEnv browser("KORVEX_BROWSER", TrustCenterSim::BrowserCommand());

  const std::string path = OAuthClient::TokenFilePath();
  WriteFile(path, std::string("{\"client_id\":\"ch.korvex.ordivaclient\",\"token_group\":\"korvex_inputgate\","
                              "\"tokens\":[{\"hin_id\":\"dr.muster\",\"access_token\":\"") +
                      TrustCenterSim::kValidToken + "\",\"refresh_token\":\"R\",\"expire\":" +
                      std::to_string(std::time(nullptr) + 600) + "}]}");
  OAuthClient client;
  ASSERT_TRUE(client.Init());
  ASSERT_TRUE(client.SelectLogin("dr.muster"));
  const std::string url = sim.BaseUrl() + "/download/config/korvex.xml";

  HttpClient first;
  EXPECT_EQ(first.Get(url), 200);

  sim.SetControl("{\"fault\":\"http401\",\"fault_methods\":[\"/download/\"]}");
  HttpClient refused;
  EXPECT_EQ(refused.Get(url), 401);
  EXPECT_EQ(client.Store()->CurrentLogin(), " ");
  EXPECT_EQ(storedLogins, std::vector<std::string>{" "});
  EXPECT_TRUE(client.Store()->Entries().empty());

  sim.SetControl("{}");
  HttpClient again;
  EXPECT_EQ(again.Get(url), 200);
  EXPECT_EQ(client.Store()->CurrentLogin(), "dr.muster");
  EXPECT_EQ(storedLogins, (std::vector<std::string>{" ", "dr.muster"}));
  ASSERT_EQ(client.Store()->Entries().size(), 1u);
  EXPECT_NE(client.Store()->Entries()[0].access_token, TrustCenterSim::kValidToken);

  client.Shutdown();
  SetTransportSettings(TransportSettings());
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace belmor::korvex
