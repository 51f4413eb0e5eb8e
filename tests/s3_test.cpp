// SPDX-License-Identifier: GPL-2.0-or-later
// Reading s3:// URLs: the names, the settings found as AWS's command line
// finds them, S3's error bodies; then, against tests/s3_server.py on
// loopback (which checks every request's signature with botocore's
// signer and logs every request), random operations compared with the
// data, the requests a lookup costs, an object replaced under a reader,
// S3's error codes as errnos, faults, the tool's reading modes, and no
// secret in any message or log line. The tests that need the server are
// named Http* as the other tests of URLs are (their retries count in real
// time); they are skipped where botocore is missing.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "kob.h"
#include "kob_index.h"
#include "kob_names.h"
#include "kob_recover.h"
#include "kob_scan.h"
#include "kob_shared.h"
#include "kob_tool_fixture.h"
#include "source/aws_settings.h"
#include "source/s3_source.h"
#include "test_util.h"

extern char** environ;

namespace {

constexpr char kAccessKey[] = "AKIDKOBTEST";
constexpr char kSecret[] = "kob/Secret+Key0123";
constexpr char kTemporaryKey[] = "ASIAKOBTEST";
constexpr char kTemporarySecret[] = "Temporary-Secret-987";
constexpr char kToken[] = "Session/Token+=abc";
constexpr char kRegion[] = "eu-west-3";

using Settings = std::map<std::string, std::string>;

// The process's AWS_* variables cleared (and no settings file of the
// machine's read), then `set`; put back as they were at the end.
class AwsEnvironment {
 public:
  explicit AwsEnvironment(const Settings& set = {}) {
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("AWS_", 0) == 0) {
        const std::size_t equals = text.find('=');
        saved[text.substr(0, equals)] = text.substr(equals + 1);
      }
    }
    clear();
    setenv("AWS_CONFIG_FILE", "/nonexistent/config", 1);
    setenv("AWS_SHARED_CREDENTIALS_FILE", "/nonexistent/credentials", 1);
    for (const auto& [name, value] : set) setenv(name.c_str(), value.c_str(), 1);
  }
  ~AwsEnvironment() {
    clear();
    for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
  }
  AwsEnvironment(const AwsEnvironment&) = delete;
  AwsEnvironment& operator=(const AwsEnvironment&) = delete;

 private:
  static void clear() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string text = *entry;
      if (text.rfind("AWS_", 0) == 0) names.push_back(text.substr(0, text.find('=')));
    }
    for (const auto& name : names) unsetenv(name.c_str());
  }
  Settings saved;
};

// ---------------------------------------------------------------------------
// Names

TEST(S3Names, ABucketAndAKeyAreAllANameHolds) {
  struct Case {
    const char* name;
    bool valid;
    const char* bucket;
    const char* key;
  };
  const Case cases[] = {
      {"s3://bkt/x.kob", true, "bkt", "x.kob"},
      {"s3://my.bucket-1/dir/sub/x.kob", true, "my.bucket-1", "dir/sub/x.kob"},
      {"s3://Old_Bucket/k", true, "Old_Bucket", "k"},
      // All after the bucket is the key: '?', '#', '@' and "//" too.
      {"s3://bkt/a?b=1#c@d", true, "bkt", "a?b=1#c@d"},
      {"s3://bkt//x", true, "bkt", "/x"},
      {"s3://bkt/a b", true, "bkt", "a b"},
      {"s3://bkt/", false, "", ""},
      {"s3://bkt", false, "", ""},
      {"s3:///key", false, "", ""},
      {"s3://", false, "", ""},
      {"s3://user@bkt/key", false, "", ""},
      {"s3://bk t/key", false, "", ""},
      {"s3://bkt:9000/key", false, "", ""},
      {"s3://b~t/key", false, "", ""},
      {"http://bkt/key", false, "", ""},
  };
  for (const Case& c : cases) {
    kob::S3Name parts;
    EXPECT_EQ(kob::parseS3Name(c.name, parts), c.valid) << c.name;
    if (!c.valid) continue;
    EXPECT_EQ(parts.bucket, c.bucket) << c.name;
    EXPECT_EQ(parts.key, c.key) << c.name;
  }
  kob::S3Name parts;
  EXPECT_FALSE(kob::parseS3Name("s3://" + std::string(256, 'b') + "/k", parts));
  EXPECT_TRUE(kob::parseS3Name("s3://" + std::string(255, 'b') + "/k", parts));
}

TEST(S3Names, KeysAreEncodedAsAwsEncodesAPath) {
  const std::pair<std::string, std::string> cases[] = {
      {"odd name+(1)!\xC3\xA9~.kob", "odd%20name%2B%281%29%21%C3%A9~.kob"},
      {"AZaz09-._~/x", "AZaz09-._~/x"},
      {"a/b c/", "a/b%20c/"},
      {"100%", "100%25"},
      {"?#&=;:@,$'*[]", "%3F%23%26%3D%3B%3A%40%2C%24%27%2A%5B%5D"},
      {std::string("\x01\x7F\xFF\x00z", 5), "%01%7F%FF%00z"},
      {"", ""},
  };
  for (const auto& [key, encoded] : cases) EXPECT_EQ(kob::encodedKey(key), encoded) << key;
}

TEST(S3Names, TheKeyIsShownWholeAndItsIndexIsBesideIt) {
  EXPECT_TRUE(kob::isRemote("s3://bkt/x.kob"));
  EXPECT_FALSE(kob::isRemote("S3://bkt/x.kob"));
  EXPECT_FALSE(kob::isRemote("./s3://bkt/x.kob"));
  EXPECT_FALSE(kob::isRemote("s3:/bkt/x.kob"));
  EXPECT_EQ(kob::displayName("s3://bkt/a?b#c@d"), "s3://bkt/a?b#c@d");
  EXPECT_EQ(kob::displayName("s3://bkt/a\nb\x1B"), "s3://bkt/a\\nb\\x1B");
  EXPECT_EQ(kob::indexNameFor("s3://bkt/dir/x.kob"), "s3://bkt/dir/x.kob.kbi");
  EXPECT_EQ(kob::indexNameFor("s3://bkt/x?y"), "s3://bkt/x?y.kbi");
  EXPECT_EQ(kob::lastSegment("s3://bkt/dir/x.kob"), "x.kob");
  EXPECT_EQ(kob::lastSegment("s3://bkt/x?y#z"), "x?y#z");
  EXPECT_EQ(kob::lastSegment("s3://bkt/dir/"), "");
  EXPECT_EQ(kob::lastSegment("s3://bkt"), "");
}

TEST(S3Names, ANameThatNamesNoObjectFailsWithEinvalBeforeAnyRequest) {
  // Nothing listens at the endpoint: a request would fail otherwise.
  AwsEnvironment aws(Settings{{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9"}});
  for (const char* bad : {"s3://bkt/", "s3://bkt", "s3:///x.kob", "s3://a b/x.kob"}) {
    KobFile file;
    errno = 0;
    EXPECT_FALSE(file.open(bad, READ)) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
    kob::SharedReader shared;
    const kob::Failure failure = shared.open(bad);
    EXPECT_EQ(failure.error, EINVAL) << bad;
    EXPECT_NE(failure.detail.find("s3://BUCKET/KEY"), std::string::npos) << failure.describe();
  }
}

TEST(S3Errors, CodeAndMessageAreTakenFromTheBodyAndNothingElse) {
  struct Case {
    std::string body;
    const char* code;
    std::string message;
  };
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>";
  const Case cases[] = {
      {head + "<Code>NoSuchKey</Code><Message>The specified key does not exist.</Message>"
              "<Key>x</Key></Error>",
       "NoSuchKey", "The specified key does not exist."},
      {head + "<Code>AccessDenied</Code><Message>a &amp; b &lt;c&gt; &quot;d&quot; "
              "&apos;e&apos; &#65;</Message></Error>",
       "AccessDenied", "a & b <c> \"d\" 'e' &#65;"},
      {head + "<Code>SlowDown</Code></Error>", "SlowDown", ""},
      {head + "<Code>Bad Code</Code><Message>m</Message></Error>", "", ""},
      {head + "<Code>Bad&amp;</Code></Error>", "", ""},
      {head + "<Code></Code></Error>", "", ""},
      {head + "<Code>NoSuchKey", "", ""},  // cut short
      {"<html>not found</html>", "", ""},
      {"", "", ""},
      {head + "<Code>X</Code><Message>line\r\none\x1B[31m</Message>", "X",
       "line  one [31m"},
      {head + "<Code>X</Code><Message>" + std::string(400, 'm') + "</Message>", "X",
       std::string(300, 'm') + "..."},
      // Cut at a character's start, not inside one.
      {head + "<Code>X</Code><Message>" + std::string(299, 'm') + "\xC3\xA9\xC3\xA9</Message>",
       "X", std::string(299, 'm') + "..."},
  };
  for (const Case& c : cases) {
    const kob::S3Error error = kob::s3ErrorOf(c.body);
    EXPECT_EQ(error.code, c.code) << c.body;
    EXPECT_EQ(error.message, c.message) << c.body;
  }
}

// ---------------------------------------------------------------------------
// Settings, as AWS's command line finds them

class S3Settings : public ::testing::Test {
 protected:
  // Finds the settings with only `variables` set; `credentials` and
  // `config` the files' texts (null: no file).
  bool find(Settings variables, const char* credentials, const char* config,
            kob::AwsSettings& found, kob::Failure& failure) {
    variables.emplace("HOME", dir.root().string());
    if (credentials != nullptr) kobtest::writeFile(dir.path("credentials"), credentials);
    if (config != nullptr) kobtest::writeFile(dir.path("config"), config);
    variables.emplace("AWS_SHARED_CREDENTIALS_FILE",
                      credentials != nullptr ? dir.path("credentials") : dir.path("none"));
    variables.emplace("AWS_CONFIG_FILE", config != nullptr ? dir.path("config") : dir.path("none"));
    const kob::Environment environment = [&](const char* name) -> const char* {
      const auto at = variables.find(name);
      return at == variables.end() ? nullptr : at->second.c_str();
    };
    return kob::findAwsSettings(environment, found, failure);
  }
  kobtest::TempDir dir;
};

TEST_F(S3Settings, AreFoundWhereTheAwsCommandFindsThem) {
  struct Case {
    const char* what;
    Settings variables;
    const char* credentials;
    const char* config;
    const char* accessKey;
    const char* secretKey;
    const char* token;
    const char* region;
    const char* endpoint;
  };
  const char* profiles =
      "[default]\naws_access_key_id = DEFAULTKEY\naws_secret_access_key = default-secret\n"
      "\n# a comment\n; another\n[work]\naws_access_key_id=WORKKEY\n"
      "aws_secret_access_key=work/secret\naws_session_token = work-token\n";
  const char* config =
      "[default]\nregion = us-west-2\n"
      "[profile work]\nregion = ap-south-1\nendpoint_url = http://127.0.0.1:9000/\n"
      "s3 =\n  addressing_style = virtual\n  region = nowhere\n"
      "[work]\nregion = wrong-section\n";
  const Case cases[] = {
      {"nothing: unsigned, the default region and AWS's endpoint", {}, nullptr, nullptr, "", "",
       "", "us-east-1", "https://s3.us-east-1.amazonaws.com"},
      {"the environment's keys, token, region and endpoint",
       {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
        {"AWS_SECRET_ACCESS_KEY", "env-secret"},
        {"AWS_SESSION_TOKEN", "env-token"},
        {"AWS_REGION", "eu-north-1"},
        {"AWS_DEFAULT_REGION", "us-west-1"},
        {"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:8000//"},
        {"AWS_ENDPOINT_URL", "http://127.0.0.1:7000"}},
       profiles, config, "ENVKEY", "env-secret", "env-token", "eu-north-1",
       "http://127.0.0.1:8000"},
      {"AWS_DEFAULT_REGION, and AWS_ENDPOINT_URL for every service",
       {{"AWS_DEFAULT_REGION", "us-west-1"}, {"AWS_ENDPOINT_URL", "HTTPS://store.example:7000/base"}},
       nullptr, nullptr, "", "", "", "us-west-1", "https://store.example:7000/base"},
      {"the default profile of both files", {}, profiles, config, "DEFAULTKEY", "default-secret",
       "", "us-west-2", "https://s3.us-west-2.amazonaws.com"},
      {"AWS_PROFILE: [NAME] and [profile NAME], not [NAME] of the config file, nor its nested keys",
       {{"AWS_PROFILE", "work"}}, profiles, config, "WORKKEY", "work/secret", "work-token",
       "ap-south-1", "http://127.0.0.1:9000"},
      {"the environment's keys over the profile's", {{"AWS_ACCESS_KEY_ID", "ENVKEY"},
        {"AWS_SECRET_ACCESS_KEY", "env-secret"}, {"AWS_PROFILE", "work"}},
       profiles, config, "ENVKEY", "env-secret", "", "ap-south-1", "http://127.0.0.1:9000"},
      {"keys in the config file alone", {{"AWS_PROFILE", "cfg"}}, nullptr,
       "[profile   cfg]\r\nAWS_ACCESS_KEY_ID: CFGKEY\r\naws_secret_access_key : cfg=secret\r\n"
       "region=ca-central-1\r\n",
       "CFGKEY", "cfg=secret", "", "ca-central-1", "https://s3.ca-central-1.amazonaws.com"},
      {"the credentials file over the config file, key by key", {{"AWS_PROFILE", "both"}},
       "[both]\naws_secret_access_key = from-credentials\nregion = eu-west-2\n",
       "[profile both]\naws_access_key_id = BOTHKEY\naws_secret_access_key = from-config\n"
       "region = eu-west-1\n",
       "BOTHKEY", "from-credentials", "", "eu-west-2", "https://s3.eu-west-2.amazonaws.com"},
      {"a section named twice is one", {}, "[default]\naws_access_key_id = K1\n[other]\n"
       "aws_access_key_id = K2\n[default]\naws_secret_access_key = s1\n",
       nullptr, "K1", "s1", "", "us-east-1", "https://s3.us-east-1.amazonaws.com"},
      {"the token under its older name, AWS_SECURITY_TOKEN",
       {{"AWS_ACCESS_KEY_ID", "ENVKEY"}, {"AWS_SECRET_ACCESS_KEY", "env-secret"},
        {"AWS_SECURITY_TOKEN", "old-token"}},
       nullptr, nullptr, "ENVKEY", "env-secret", "old-token", "us-east-1",
       "https://s3.us-east-1.amazonaws.com"},
      {"a secret alone in the environment is not credentials", {{"AWS_SECRET_ACCESS_KEY", "s"}},
       nullptr, nullptr, "", "", "", "us-east-1", "https://s3.us-east-1.amazonaws.com"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kob::AwsSettings found;
    kob::Failure failure;
    ASSERT_TRUE(find(c.variables, c.credentials, c.config, found, failure)) << failure.describe();
    EXPECT_EQ(found.accessKey, c.accessKey);
    EXPECT_EQ(found.secretKey, c.secretKey);
    EXPECT_EQ(found.sessionToken, c.token);
    EXPECT_EQ(found.signs(), *c.accessKey != '\0');
    EXPECT_EQ(found.region, c.region);
    EXPECT_EQ(found.endpoint, c.endpoint);
  }
}

TEST_F(S3Settings, TheDefaultFilesAreUnderHomeAndATildeIsExpanded) {
  std::filesystem::create_directories(dir.path(".aws"));
  kobtest::writeFile(dir.path(".aws/credentials"),
                     "[default]\naws_access_key_id = HOMEKEY\naws_secret_access_key = h\n");
  kobtest::writeFile(dir.path(".aws/config"), "[default]\nregion = sa-east-1\n");
  kobtest::writeFile(dir.path("elsewhere"), "[default]\nregion = me-south-1\n");
  const std::string home = dir.root().string();
  for (const auto& [config, region] :
       {std::pair<std::string, std::string>{"", "sa-east-1"}, {"~/elsewhere", "me-south-1"}}) {
    Settings variables{{"HOME", home}};
    if (!config.empty()) variables["AWS_CONFIG_FILE"] = config;
    const kob::Environment environment = [&](const char* name) -> const char* {
      const auto at = variables.find(name);
      return at == variables.end() ? nullptr : at->second.c_str();
    };
    kob::AwsSettings found;
    kob::Failure failure;
    ASSERT_TRUE(kob::findAwsSettings(environment, found, failure)) << failure.describe();
    EXPECT_EQ(found.accessKey, "HOMEKEY");
    EXPECT_EQ(found.region, region);
  }
}

TEST_F(S3Settings, MistakesFailWithEinvalNamingTheSettingButNeverASecret) {
  struct Case {
    Settings variables;
    const char* credentials;
    const char* config;
    const char* said;
  };
  const Case cases[] = {
      {{{"AWS_ACCESS_KEY_ID", "K"}}, nullptr, nullptr, "AWS_SECRET_ACCESS_KEY"},
      {{{"AWS_ACCESS_KEY_ID", "K"}, {"AWS_SESSION_TOKEN", "tok-secret"}}, nullptr, nullptr,
       "without AWS_SECRET_ACCESS_KEY"},
      {{}, "[default]\naws_access_key_id = K\naws_session_token = tok-secret\n", nullptr,
       "without aws_secret_access_key"},
      {{{"AWS_PROFILE", "absent"}}, "[default]\n", "[profile other]\n", "absent"},
      {{{"AWS_PROFILE", "absent"}}, nullptr, "[absent]\n", "absent"},
      {{{"AWS_ENDPOINT_URL_S3", "ftp://host"}}, nullptr, nullptr, "AWS_ENDPOINT_URL_S3"},
      {{{"AWS_ENDPOINT_URL", "http://"}}, nullptr, nullptr, "AWS_ENDPOINT_URL"},
      {{{"AWS_ENDPOINT_URL", "http:///path"}}, nullptr, nullptr, "AWS_ENDPOINT_URL"},
      {{{"AWS_ENDPOINT_URL", "http://host/?x=1"}}, nullptr, nullptr, "AWS_ENDPOINT_URL"},
      {{{"AWS_ENDPOINT_URL", "http://ho st"}}, nullptr, nullptr, "AWS_ENDPOINT_URL"},
      {{{"AWS_ENDPOINT_URL", "127.0.0.1:9000"}}, nullptr, nullptr, "AWS_ENDPOINT_URL"},
      {{}, nullptr, "[default]\nendpoint_url = s3.local\n", "endpoint_url"},
      {{{"AWS_REGION", "eu:west"}}, nullptr, nullptr, "AWS_REGION"},
      {{{"AWS_DEFAULT_REGION", "a/b"}}, nullptr, nullptr, "AWS_DEFAULT_REGION"},
      {{}, nullptr, "[default]\nregion = two words\n", "region"},
      // A header of anyone's choosing, or one cut short.
      {{{"AWS_ACCESS_KEY_ID", "K\r\nX-Amz-Acl: public-read"}, {"AWS_SECRET_ACCESS_KEY", "s"}},
       nullptr, nullptr, "AWS_ACCESS_KEY_ID holds a control character"},
      {{{"AWS_ACCESS_KEY_ID", "K"}, {"AWS_SECRET_ACCESS_KEY", "s"},
        {"AWS_SESSION_TOKEN", "tok-secret\nHost: elsewhere"}},
       nullptr, nullptr, "AWS_SESSION_TOKEN holds"},
      {{{"AWS_ACCESS_KEY_ID", "K"}, {"AWS_SECRET_ACCESS_KEY", "s"},
        {"AWS_SECURITY_TOKEN", "tok-secret\x7F"}},
       nullptr, nullptr, "AWS_SECURITY_TOKEN holds"},
      {{}, "[default]\naws_access_key_id = K\naws_secret_access_key = s\n"
           "aws_session_token = tok-\x01secret\n",
       nullptr, "the AWS profile default's aws_session_token holds"},
  };
  for (const Case& c : cases) {
    kob::AwsSettings found;
    kob::Failure failure;
    EXPECT_FALSE(find(c.variables, c.credentials, c.config, found, failure)) << c.said;
    EXPECT_EQ(failure.error, EINVAL) << c.said;
    EXPECT_NE(failure.detail.find(c.said), std::string::npos) << failure.detail;
    EXPECT_EQ(failure.detail.find("tok-secret"), std::string::npos) << failure.detail;
    std::filesystem::remove(dir.path("credentials"));
    std::filesystem::remove(dir.path("config"));
  }
}

TEST_F(S3Settings, AFileThatIsNoRegularOneIsNoneAndAHugeOneIsRefused) {
  kob::AwsSettings found;
  kob::Failure failure;
  // /dev/null, a folder and a FIFO (which would block a reader) are no
  // settings; nothing hangs.
  ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0600), 0);
  for (const std::string& name : {std::string("/dev/null"), dir.root().string(), dir.path("fifo")}) {
    EXPECT_TRUE(find({{"AWS_CONFIG_FILE", name}, {"AWS_SHARED_CREDENTIALS_FILE", name}}, nullptr,
                     nullptr, found, failure))
        << name << ": " << failure.describe();
    EXPECT_FALSE(found.signs());
  }
  std::string huge = "[default]\naws_access_key_id = K\naws_secret_access_key = s\n";
  huge.append(kob::kMostSettingsBytes, '#');
  EXPECT_FALSE(find({}, huge.c_str(), nullptr, found, failure));
  EXPECT_EQ(failure.error, EINVAL);
  EXPECT_NE(failure.detail.find("over 1 MiB"), std::string::npos) << failure.detail;
}

#if !KOB_HTTP_BUILT

TEST(S3NotBuilt, AnS3UrlFailsWithEprotonosupportAsHttpDoes) {
  AwsEnvironment aws(Settings{{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9"}});
  KobFile file;
  errno = 0;
  EXPECT_FALSE(file.open("s3://bkt/x.kob", READ));
  EXPECT_EQ(errno, EPROTONOSUPPORT);
  kob::SharedReader shared;
  EXPECT_EQ(shared.open("s3://bkt/x.kob").error, EPROTONOSUPPORT);
  EXPECT_EQ(kob::scanPacked("s3://bkt/x.kob", false).failure.error, EPROTONOSUPPORT);
  kobtest::TempDir dir;
  const std::string errors = dir.path("errors");
  const int status = std::system(
      (std::string("'") + KOB_PATH + "' -dc s3://bkt/x.kob 2>'" + errors + "' >/dev/null").c_str());
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(kobtest::readFile(errors).find("URLs are not supported"), std::string::npos)
      << kobtest::readFile(errors);
}

#else

// ---------------------------------------------------------------------------
// The server

// One request, as the server logged it.
struct Logged {
  std::string method, bucket, key, path, range, code, accessKey;
  int status = 0;
  long long bytes = 0;
  bool isSigned = false;
};

// The raw value of `name` in one JSON line of the log (sorted keys, no
// nesting but the query's list): a string unescaped, "" for null.
std::string field(const std::string& line, const std::string& name) {
  const std::string label = "\"" + name + "\": ";
  const std::size_t at = line.find(label);
  if (at == std::string::npos) return "";
  std::size_t i = at + label.size();
  if (line.compare(i, 4, "null") == 0) return "";
  if (line[i] != '"') return line.substr(i, line.find_first_of(",}", i) - i);
  std::string value;
  for (++i; i < line.size() && line[i] != '"'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) ++i;
    value += line[i];
  }
  return value;
}

// tests/s3_server.py on a free port, serving a scratch folder with the
// buckets "bkt" (signed requests only) and "open" (public), in kRegion,
// with a long-term key and a temporary one that needs its token.
class S3Server {
 public:
  explicit S3Server(const std::vector<std::string>& extra = {}) {
    const std::string root = scratch.path("root");
    std::filesystem::create_directories(root + "/bkt");
    std::filesystem::create_directories(root + "/open");
    kobtest::writeFile(scratch.path("credentials"),
                       std::string(kAccessKey) + " " + kSecret + "\n" + kTemporaryKey + " " +
                           kTemporarySecret + " " + kToken + "\n");
    std::vector<std::string> arguments = {
        "/usr/bin/python3", S3_SERVER_PATH, "--root", root, "--port", "0",
        "--port-file", scratch.path("port"), "--log", scratch.path("log"), "--region", kRegion,
        "--credentials", scratch.path("credentials"), "--public", "open", "--lifetime", "900"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    pid = fork();
    if (pid == 0) {
      std::vector<char*> argv;
      for (auto& a : arguments) argv.push_back(a.data());
      argv.push_back(nullptr);
      std::freopen("/dev/null", "r", stdin);
      std::freopen(scratch.path("server.out").c_str(), "w", stdout);
      std::freopen(scratch.path("server.out").c_str(), "a", stderr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!kobtest::fileExists(scratch.path("port"))) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        problem = WIFEXITED(status) && WEXITSTATUS(status) == 77
                      ? "botocore is missing (apt-get install python3-botocore)"
                      : "s3_server.py did not start: " + kobtest::readFile(scratch.path("server.out"));
        return;
      }
      if (std::chrono::steady_clock::now() > until) {
        stop();
        problem = "s3_server.py did not start in time";
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    endpoint = "http://127.0.0.1:" + kobtest::readFile(scratch.path("port"));
    while (!endpoint.empty() && endpoint.back() == '\n') endpoint.pop_back();
  }
  ~S3Server() { stop(); }
  S3Server(const S3Server&) = delete;
  S3Server& operator=(const S3Server&) = delete;

  bool running() const { return pid > 0; }
  const std::string& why() const { return problem; }
  // Where the object `key` of `bucket` is on the disk.
  std::string object(const std::string& key, const std::string& bucket = "bkt") const {
    const std::string path = scratch.path("root/" + bucket + "/" + key);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    return path;
  }
  static std::string url(const std::string& key, const std::string& bucket = "bkt") {
    return "s3://" + bucket + "/" + key;
  }
  // The environment a reader of this server signs with: the long-term
  // key, or the temporary one and its token.
  Settings settings(bool temporary = false) const {
    Settings set = {{"AWS_ENDPOINT_URL_S3", endpoint},
                    {"AWS_REGION", kRegion},
                    {"AWS_ACCESS_KEY_ID", temporary ? kTemporaryKey : kAccessKey},
                    {"AWS_SECRET_ACCESS_KEY", temporary ? kTemporarySecret : kSecret}};
    if (temporary) set["AWS_SESSION_TOKEN"] = kToken;
    return set;
  }
  // The log, once it has settled.
  std::string logText() const {
    settledCount();
    return kobtest::readFile(scratch.path("log"));
  }
  // The requests logged, once their count has settled: a request is
  // logged only once its answer has gone, after the reader has it.
  std::vector<Logged> requests() const {
    settledCount();
    return logged();
  }
  std::size_t settledCount() const {
    std::size_t count = logged().size();
    for (int same = 0, i = 0; same < 3 && i < 50; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const std::size_t now = logged().size();
      same = now == count ? same + 1 : 0;
      count = now;
    }
    return count;
  }

 private:
  std::vector<Logged> logged() const {
    std::vector<Logged> found;
    std::istringstream lines(kobtest::readFile(scratch.path("log")));
    for (std::string line; std::getline(lines, line);) {
      Logged r;
      r.method = field(line, "method");
      r.bucket = field(line, "bucket");
      r.key = field(line, "key");
      r.path = field(line, "path");
      r.range = field(line, "range");
      r.code = field(line, "code");
      r.accessKey = field(line, "access_key");
      r.status = std::atoi(field(line, "status").c_str());
      r.bytes = std::atoll(field(line, "bytes").c_str());
      r.isSigned = field(line, "signed") == "true";
      found.push_back(r);
    }
    return found;
  }
  void stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
  }
  kobtest::TempDir scratch;
  pid_t pid = -1;
  std::string problem;

 public:
  std::string endpoint;
};

#define SKIP_WITHOUT_SERVER(server) \
  if (!(server).running()) GTEST_SKIP() << (server).why()

// Writes the saved index of the packed file at `path` to `path`.kbi.
void writeIndexBeside(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::FILE* out = std::fopen((path + ".kbi").c_str(), "wb");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(kob::writeIndex(fd, out).ok());
  EXPECT_EQ(std::fclose(out), 0);
  ::close(fd);
}

// Fails when `text` holds a secret or a token.
void expectNoSecret(const std::string& text, const std::string& where) {
  for (const char* secret : {kSecret, kTemporarySecret, kToken}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << where << ": " << text;
  }
}

// A server, the settings to sign for it, and quick retries.
class HttpS3 : public ::testing::Test {
 protected:
  explicit HttpS3(const std::vector<std::string>& extra = {}, bool temporary = false)
      : server(extra), aws(server.settings(temporary)) {}
  void SetUp() override {
    SKIP_WITHOUT_SERVER(server);
    setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
  }
  S3Server server;
  AwsEnvironment aws;
};

// ---------------------------------------------------------------------------
// Random operations over s3:// URLs, every answer compared with the data
// and with the same file read from the disk; keys that need encoding;
// long-term and temporary credentials.

class HttpS3Model : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(HttpS3Model, KobFileAndSharedReaderAnswerAsTheLocalFileAndTheData) {
  S3Server server;
  SKIP_WITHOUT_SERVER(server);
  const auto [indexed, temporary] = GetParam();
  AwsEnvironment aws(server.settings(temporary));
  std::mt19937 rng(kobtest::testSeed("HttpS3Model"));
  const char* keys[] = {"f0.kob", "dir/odd name+(1)!\xC3\xA9~/f1.kob", "a?b#c@d;e=f&g.kob"};
  for (int f = 0; f < 3; ++f) {
    const std::string key = keys[f];
    SCOPED_TRACE(key);
    const std::size_t size =
        std::uniform_int_distribution<std::size_t>(0, f == 0 ? 1000 : 400000)(rng);
    const std::string data = kobtest::makeData(size, rng);
    kobtest::packFile(server.object(key), data, std::uniform_int_distribution<int>(200, 65535)(rng),
                      rng);
    if (indexed) writeIndexBeside(server.object(key));
    KobFile remote, local;
    ASSERT_TRUE(remote.open(S3Server::url(key).c_str(), READ)) << std::strerror(errno);
    ASSERT_TRUE(local.open(server.object(key).c_str(), READ));
    ASSERT_TRUE(remote.isCompressed());
    std::vector<unsigned char> a(70000), b(70000);
    for (int op = 0; op < 80; ++op) {
      const int kind = std::uniform_int_distribution<int>(0, 3)(rng);
      const auto at = static_cast<std::int64_t>(
          std::uniform_int_distribution<std::size_t>(0, size + 10)(rng));
      SCOPED_TRACE("op " + std::to_string(op) + " kind " + std::to_string(kind));
      if (kind == 0) {
        const auto length = std::uniform_int_distribution<unsigned>(0, 70000)(rng);
        const std::int64_t here = local.tell64();
        const int got = remote.read(a.data(), length);
        ASSERT_EQ(got, local.read(b.data(), length));
        ASSERT_GE(got, 0);
        ASSERT_TRUE(std::string(a.begin(), a.begin() + got) ==
                    data.substr(static_cast<std::size_t>(here), static_cast<std::size_t>(got)));
      } else if (kind == 1) {
        ASSERT_EQ(remote.seek64(at, SEEK_SET), local.seek64(at, SEEK_SET));
      } else if (kind == 2) {
        const std::int64_t by = at - static_cast<std::int64_t>(size / 2);
        ASSERT_EQ(remote.seek64(by, SEEK_CUR), local.seek64(by, SEEK_CUR));
      } else {
        ASSERT_EQ(remote.tell64(), local.tell64());
        ASSERT_EQ(remote.isEOF(), local.isEOF());
      }
      ASSERT_FALSE(remote.hasError()) << remote.failure().describe();
    }
    kob::SharedReader shared;
    ASSERT_TRUE(shared.open(S3Server::url(key).c_str()).ok());
    EXPECT_EQ(shared.size(), static_cast<std::int64_t>(size));
    std::vector<char> buffer(50000);
    for (int op = 0; op < 60; ++op) {
      const auto at = std::uniform_int_distribution<std::size_t>(0, size + 5)(rng);
      const auto length = std::uniform_int_distribution<std::size_t>(0, 50000)(rng);
      const kob::ReadResult got = shared.readAt(at, buffer.data(), length);
      ASSERT_TRUE(got.ok()) << got.failure.describe();
      ASSERT_TRUE(std::string(buffer.data(), got.bytes) ==
                  (at < size ? data.substr(at, length) : std::string()));
    }
  }
  // Every request was signed with the key given (the server checked each
  // signature), sent path-style with the key encoded, and asked a range.
  const auto requests = server.requests();
  ASSERT_FALSE(requests.empty());
  for (const Logged& r : requests) {
    EXPECT_TRUE(r.isSigned) << r.path;
    EXPECT_EQ(r.accessKey, temporary ? kTemporaryKey : kAccessKey) << r.path;
    EXPECT_EQ(r.method, "GET");
    EXPECT_EQ(r.bucket, "bkt");
    EXPECT_TRUE(r.status == 206 || r.status == 416 || (r.status == 404 && r.code == "NoSuchKey"))
        << r.path << " " << r.status << " " << r.code;
    EXPECT_EQ(r.range.rfind("bytes=", 0), 0u) << r.path;
  }
  bool encoded = false;
  for (const Logged& r : requests) {
    encoded |= r.path == "/bkt/dir/odd%20name%2B%281%29%21%C3%A9~/f1.kob";
  }
  EXPECT_TRUE(encoded);
}

INSTANTIATE_TEST_SUITE_P(Http, HttpS3Model, ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// ---------------------------------------------------------------------------
// Requests, as the server logged them

class HttpS3Requests : public HttpS3 {
 protected:
  void SetUp() override {
    HttpS3::SetUp();
    if (IsSkipped()) return;
    std::mt19937 rng(7);
    data = kobtest::makeData(3 << 20, rng);
    kobtest::packFile(server.object("big.kob"), data, 16384, rng);
  }
  void lookUp(KobFile& file, std::size_t at) {
    unsigned char bytes[100];
    ASSERT_EQ(file.seek64(static_cast<std::int64_t>(at), SEEK_SET), static_cast<std::int64_t>(at));
    ASSERT_EQ(file.read(bytes, sizeof bytes), 100) << file.failure().describe();
    ASSERT_TRUE(std::string(bytes, bytes + 100) == data.substr(at, 100));
  }
  std::string data;
};

// The object's index is a hint: a cold lookup walks the headers before its
// chunk as it would without, a warm one takes one request.
TEST_F(HttpS3Requests, WithTheIndexAColdLookupWalksAndAWarmOneTakesOne) {
  writeIndexBeside(server.object("big.kob"));
  const auto packedSize = std::filesystem::file_size(server.object("big.kob"));
  KobFile file;
  ASSERT_TRUE(file.open(S3Server::url("big.kob").c_str(), READ));
  lookUp(file, 2'000'000);
  std::size_t now = server.settledCount();
  EXPECT_LE(now, 4 + packedSize / (1 << 20));
  bool indexRead = false;
  for (const Logged& r : server.requests()) indexRead |= r.key == "big.kob.kbi" && r.status == 206;
  EXPECT_TRUE(indexRead);
  for (std::size_t at : {100'000u, 2'900'000u, 1'234'567u}) {
    const std::size_t before = now;
    lookUp(file, at);
    now = server.settledCount();
    EXPECT_LE(now - before, at > 2'000'000 ? 2u : 1u) << at;
  }
}

TEST_F(HttpS3Requests, SettingsGivenReachTheObjectAndItsIndexWhateverTheEnvironmentSays) {
  writeIndexBeside(server.object("big.kob"));
  std::filesystem::rename(server.object("big.kob.kbi"), server.object("elsewhere.kbi"));
  const AwsEnvironment nowhere(Settings{{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:1"}});
  kob::OpenRules rules;
  rules.needSeek = rules.needPacked = true;
  rules.s3 = {server.settings()["AWS_ENDPOINT_URL_S3"], kRegion, kAccessKey, kSecret, "", "", false};
  // An index under another name: opened when the reader asks, not with
  // the object's first request.
  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(kob::openFile(S3Server::url("big.kob"), rules),
                          kob::IndexChoice::at(S3Server::url("elsewhere.kbi"))).ok());
  char bytes[100];
  ASSERT_EQ(reader.readAt(2'000'000, bytes, sizeof bytes).bytes, sizeof bytes);
  EXPECT_TRUE(std::string(bytes, sizeof bytes) == data.substr(2'000'000, sizeof bytes));
  bool indexRead = false;
  for (const Logged& r : server.requests()) {
    indexRead |= r.key == "elsewhere.kbi" && r.status == 206 && r.accessKey == kAccessKey;
  }
  EXPECT_TRUE(indexRead);
}

TEST_F(HttpS3Requests, WithoutTheIndexAWalkReadsLargeRangesAndInOrderFewRequests) {
  const auto packedSize = std::filesystem::file_size(server.object("big.kob"));
  {
    KobFile file;
    ASSERT_TRUE(file.open(S3Server::url("big.kob").c_str(), READ));
    lookUp(file, 2'900'000);
    const std::size_t used = server.settledCount();
    // The probe for an index, the first bytes, walks of 1 MiB, the chunk.
    EXPECT_LE(used, 3 + packedSize / (1 << 20) + 1) << used;
    lookUp(file, 1'000'000);
    EXPECT_LE(server.settledCount() - used, 1u);
  }
  int missing = 0;
  for (const Logged& r : server.requests()) missing += r.key == "big.kob.kbi";
  EXPECT_EQ(missing, 1);  // asked for once, and no failure
  const std::size_t before = server.settledCount();
  KobFile file;
  ASSERT_TRUE(file.open(S3Server::url("big.kob").c_str(), READ));
  std::string read;
  std::vector<unsigned char> bytes(65536);
  for (int got; (got = file.read(bytes.data(), 65536)) > 0;) {
    read.append(bytes.begin(), bytes.begin() + got);
  }
  ASSERT_TRUE(read == data);
  EXPECT_LE(server.settledCount() - before, 6u);
}

// ---------------------------------------------------------------------------
// An object replaced under a reader

TEST_F(HttpS3, AReplacedObjectFailsReadsWithEstaleAndAFreshReaderReadsTheNewOne) {
  std::mt19937 rng(11);
  const std::string first = kobtest::makeData(500000, rng);
  const std::string second = kobtest::makeData(520000, rng);
  kobtest::packFile(server.object("x.kob"), first, 4000, rng);
  writeIndexBeside(server.object("x.kob"));
  KobFile file;
  kob::SharedReader shared;
  const std::string url = S3Server::url("x.kob");
  ASSERT_TRUE(file.open(url.c_str(), READ));
  ASSERT_TRUE(shared.open(url.c_str()).ok());
  unsigned char bytes[1000];
  ASSERT_EQ(file.read(bytes, sizeof bytes), 1000);
  char some[1000];
  ASSERT_TRUE(shared.readAt(0, some, sizeof some).ok());

  kobtest::packFile(server.object("x.kob.new"), second, 5000, rng);
  writeIndexBeside(server.object("x.kob.new"));
  std::filesystem::rename(server.object("x.kob.new.kbi"), server.object("x.kob.kbi"));
  std::filesystem::rename(server.object("x.kob.new"), server.object("x.kob"));

  // The seek walks the headers before its chunk (the index is a hint), or
  // the read reads the chunk: either meets the new object.
  if (file.seek64(400000, SEEK_SET) == 400000) file.read(bytes, sizeof bytes);
  EXPECT_TRUE(file.hasError());
  EXPECT_EQ(file.ioError(), ESTALE) << file.failure().describe();
  const kob::ReadResult stale = shared.readAt(450000, some, sizeof some);
  EXPECT_EQ(stale.failure.error, ESTALE) << stale.failure.describe();
  // The server refused them for their If-Match.
  int refused = 0;
  for (const Logged& r : server.requests()) {
    refused += r.key == "x.kob" && r.status == 412 && r.code == "PreconditionFailed";
  }
  EXPECT_GE(refused, 2);

  KobFile fresh;
  ASSERT_TRUE(fresh.open(url.c_str(), READ));
  ASSERT_EQ(fresh.seek64(510000, SEEK_SET), 510000);
  ASSERT_EQ(fresh.read(bytes, sizeof bytes), 1000);
  EXPECT_TRUE(std::string(bytes, bytes + 1000) == second.substr(510000, 1000));
}

// ---------------------------------------------------------------------------
// S3's answers as errnos, its code in the detail

TEST_F(HttpS3, EachRefusalGivesItsErrnoAndNamesS3sCode) {
  std::mt19937 rng(2);
  const std::string data = kobtest::makeData(20000, rng);
  kobtest::packFile(server.object("x.kob"), data, 4000, rng);
  kobtest::packFile(server.object("p.kob", "open"), data, 4000, rng);
  struct Case {
    const char* what;
    Settings change;
    std::string url;
    int error;
    const char* code;
  };
  const Case cases[] = {
      {"a missing key", {}, "s3://bkt/none.kob", ENOENT, "NoSuchKey"},
      {"a missing bucket", {}, "s3://nobucket/x.kob", ENOENT, "NoSuchBucket"},
      {"a wrong secret", {{"AWS_SECRET_ACCESS_KEY", "wrong-secret"}}, "s3://bkt/x.kob", EACCES,
       "SignatureDoesNotMatch"},
      {"an unknown key", {{"AWS_ACCESS_KEY_ID", "AKIDUNKNOWN"}}, "s3://bkt/x.kob", EACCES,
       "InvalidAccessKeyId"},
      {"a temporary key without its token",
       {{"AWS_ACCESS_KEY_ID", kTemporaryKey}, {"AWS_SECRET_ACCESS_KEY", kTemporarySecret}},
       "s3://bkt/x.kob", EACCES, "InvalidAccessKeyId"},
      {"a wrong token",
       {{"AWS_ACCESS_KEY_ID", kTemporaryKey},
        {"AWS_SECRET_ACCESS_KEY", kTemporarySecret},
        {"AWS_SESSION_TOKEN", "wrong-token"}},
       "s3://bkt/x.kob", EACCES, "InvalidToken"},
      {"a token with a long-term key", {{"AWS_SESSION_TOKEN", kToken}}, "s3://bkt/x.kob", EACCES,
       "InvalidToken"},
      {"the wrong region", {{"AWS_REGION", "us-east-1"}}, "s3://bkt/x.kob", EACCES,
       "AuthorizationHeaderMalformed"},
      {"no credentials, a private bucket",
       {{"AWS_ACCESS_KEY_ID", ""}, {"AWS_SECRET_ACCESS_KEY", ""}}, "s3://bkt/x.kob", EACCES,
       "AccessDenied"},
      {"no credentials, a public bucket",
       {{"AWS_ACCESS_KEY_ID", ""}, {"AWS_SECRET_ACCESS_KEY", ""}}, "s3://open/p.kob", 0, ""},
      {"credentials, a public bucket", {}, "s3://open/p.kob", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Settings settings = server.settings();
    for (const auto& [name, value] : c.change) settings[name] = value;
    AwsEnvironment changed(settings);
    kob::SharedReader shared;
    const kob::Failure failure = shared.open(c.url.c_str());
    EXPECT_EQ(failure.error, c.error) << failure.describe();
    EXPECT_NE(failure.detail.find(c.code), std::string::npos) << failure.describe();
    expectNoSecret(failure.describe(), c.what);
    KobFile file;
    errno = 0;
    EXPECT_EQ(file.open(c.url.c_str(), READ), c.error == 0);
    if (c.error != 0) {
      EXPECT_EQ(errno, c.error);
      continue;
    }
    unsigned char bytes[100];
    ASSERT_EQ(file.read(bytes, sizeof bytes), 100);
    EXPECT_TRUE(std::string(bytes, bytes + 100) == data.substr(0, 100));
  }
  // An unsigned refusal says it was unsigned.
  AwsEnvironment unsigned_(Settings{{"AWS_ENDPOINT_URL_S3", server.endpoint}, {"AWS_REGION", kRegion}});
  kob::SharedReader shared;
  EXPECT_NE(shared.open("s3://bkt/x.kob").detail.find("no AWS credentials"), std::string::npos);
  expectNoSecret(server.logText(), "the server's log");
}

TEST(HttpS3Clock, ASkewedClockIsRefusedWithEacces) {
  S3Server server({"--clock-offset", "3600"});
  SKIP_WITHOUT_SERVER(server);
  AwsEnvironment aws(server.settings());
  std::mt19937 rng(2);
  kobtest::packFile(server.object("x.kob"), kobtest::makeData(1000, rng), 400, rng);
  kob::SharedReader shared;
  const kob::Failure failure = shared.open("s3://bkt/x.kob");
  EXPECT_EQ(failure.error, EACCES);
  EXPECT_NE(failure.detail.find("RequestTimeTooSkewed"), std::string::npos) << failure.describe();
}

// ---------------------------------------------------------------------------
// Faults

class HttpS3Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
    std::mt19937 rng(5);
    data = kobtest::makeData(600000, rng);
    packed = kobtest::packFile(scratch.path("data.kob"), data, 16384, rng);
  }
  // Opens s3://bkt/data.kob on `server` and reads 1000 bytes at `at`:
  // the failure, ok() when the bytes were right.
  kob::Failure readThrough(S3Server& server, std::int64_t at) {
    kobtest::writeFile(server.object("data.kob"), packed);
    AwsEnvironment aws(server.settings());
    kob::SharedReader shared;
    const kob::Failure opened = shared.open("s3://bkt/data.kob");
    if (!opened.ok()) return opened;
    char bytes[1000];
    const kob::ReadResult got = shared.readAt(static_cast<std::uint64_t>(at), bytes, sizeof bytes);
    if (!got.ok()) return got.failure;
    EXPECT_TRUE(std::string(bytes, got.bytes) == data.substr(static_cast<std::size_t>(at), 1000));
    return {};
  }
  kobtest::TempDir scratch;
  std::string data;
  std::string packed;
};

TEST_F(HttpS3Faults, SlowDownIsTriedAgainThenFailsWithEioNamingIt) {
  {
    S3Server server({"--slowdown", "2"});
    SKIP_WITHOUT_SERVER(server);
    const kob::Failure failure = readThrough(server, 300000);
    EXPECT_TRUE(failure.ok()) << failure.describe();
    int slowed = 0;
    for (const Logged& r : server.requests()) slowed += r.status == 503 && r.code == "SlowDown";
    EXPECT_EQ(slowed, 2);
  }
  S3Server server({"--slowdown", "1000"});
  const kob::Failure failure = readThrough(server, 0);
  EXPECT_EQ(failure.error, EIO);
  EXPECT_NE(failure.detail.find("SlowDown"), std::string::npos) << failure.describe();
  int asked = 0;
  for (const Logged& r : server.requests()) asked += r.key == "data.kob";
  EXPECT_EQ(asked, 4);  // tried three times more, and no more
}

TEST_F(HttpS3Faults, ResetBodiesAreTriedAgain) {
  S3Server server({"--reset-after", "3000", "--reset-times", "2"});
  SKIP_WITHOUT_SERVER(server);
  const kob::Failure failure = readThrough(server, 300000);
  EXPECT_TRUE(failure.ok()) << failure.describe();
  int cut = 0;
  for (const Logged& r : server.requests()) cut += r.status == 206 && r.bytes == 3000;
  EXPECT_GE(cut, 1);
}

TEST_F(HttpS3Faults, AnEmptyObjectIsEmptyAndAPlainOneIsPlain) {
  S3Server server;
  SKIP_WITHOUT_SERVER(server);
  AwsEnvironment aws(server.settings());
  kobtest::writeFile(server.object("empty"), "");
  kobtest::writeFile(server.object("plain.txt"), "just some text\n");
  KobFile file;
  ASSERT_TRUE(file.open("s3://bkt/empty", READ)) << std::strerror(errno);
  unsigned char bytes[100];
  EXPECT_EQ(file.read(bytes, sizeof bytes), 0);
  EXPECT_FALSE(file.hasError());
  ASSERT_TRUE(file.open("s3://bkt/plain.txt", READ));
  EXPECT_FALSE(file.isCompressed());
  ASSERT_EQ(file.read(bytes, sizeof bytes), 15);
  EXPECT_EQ(std::string(bytes, bytes + 15), "just some text\n");
  kob::SharedReader shared;
  EXPECT_EQ(shared.open("s3://bkt/plain.txt").damage, kob::Damage::NotPacked);
}

// ---------------------------------------------------------------------------
// The scan, the salvage and the tool

TEST_F(HttpS3, ScanAndSalvageReadS3AsALocalFile) {
  std::mt19937 rng(9);
  const std::string data = kobtest::makeData(200000, rng);
  std::string packed = kobtest::packFile(server.object("s.kob"), data, 8192, rng);
  const kob::ScanReport local = kob::scanPacked(server.object("s.kob"), true);
  const kob::ScanReport remote = kob::scanPacked(S3Server::url("s.kob"), true);
  ASSERT_TRUE(remote.ok()) << remote.failure.describe();
  EXPECT_EQ(remote.chunks, local.chunks);
  EXPECT_EQ(remote.dataSize, data.size());
  // A chunk's payload spoiled: the salvage loses it alone.
  const auto headers = kobtest::parseHeaders(packed);
  kobtest::spoilPayload(packed, headers[5]);
  kobtest::writeFile(server.object("s.kob"), packed);
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  const kob::RecoveryReport report = kob::recoverPacked(S3Server::url("s.kob"), out);
  ASSERT_TRUE(report.failure.ok()) << report.failure.describe();
  EXPECT_EQ(report.losses, 1u);
  std::string got(data.size() + 1, '\0');
  std::rewind(out);
  got.resize(std::fread(got.data(), 1, got.size(), out));
  std::fclose(out);
  ASSERT_EQ(got.size(), data.size());
  const std::size_t lostAt = 5 * 8192;
  EXPECT_TRUE(got.substr(0, lostAt) == data.substr(0, lostAt));
  EXPECT_TRUE(got.substr(lostAt + 8192) == data.substr(lostAt + 8192));
  EXPECT_EQ(got.substr(lostAt, 8192), std::string(8192, '\0'));
}

class HttpS3Tool : public kobtest::KobTool {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SERVER(server);
    setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
    aws = std::make_unique<AwsEnvironment>(server.settings());
    std::mt19937 rng(3);
    data = kobtest::makeData(300000, rng);
    kobtest::packFile(server.object("dir/t.kob"), data, 8000, rng);
    writeIndexBeside(server.object("dir/t.kob"));
  }
  void TearDown() override { aws.reset(); }
  S3Server server;
  std::unique_ptr<AwsEnvironment> aws;
  std::string data;
};

TEST_F(HttpS3Tool, ReadsS3InEveryReadingMode) {
  const std::string url = S3Server::url("dir/t.kob");
  Result r = kob("-dc " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(r.out == data);
  r = kob("-d -b 123456 -s 1000 " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(r.out == data.substr(123456, 1000));
  r = kob("-d " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(kobtest::readFile(path("t")) == data);  // named after the key's last segment
  r = kob("-t " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  r = kob("-l " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_NE(r.out.find("300000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(url), std::string::npos) << r.out;
  r = kob("--recover -c " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(r.out == data);
  r = kob("-dc --index-file " + url + ".kbi " + url);
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_TRUE(r.out == data);
}

TEST_F(HttpS3Tool, AWrongSecretIsOneLineNamingTheCodeAndNoSecretIsEverShown) {
  const std::string url = S3Server::url("dir/t.kob");
  const Result wrong = kob("-dc " + url, "AWS_SECRET_ACCESS_KEY=wrong-secret");
  EXPECT_EQ(wrong.status, 1);
  kobtest::expectMessage(wrong.errors, url + ": ");
  EXPECT_NE(wrong.errors.find("Permission denied (SignatureDoesNotMatch"), std::string::npos)
      << wrong.errors;
  EXPECT_TRUE(wrong.out.empty());
  const Result missing = kob("-dc " + S3Server::url("dir/gone.kob"));
  EXPECT_EQ(missing.status, 1);
  kobtest::expectMessage(missing.errors, S3Server::url("dir/gone.kob") + ": ");
  EXPECT_NE(missing.errors.find("No such file or directory (NoSuchKey"), std::string::npos)
      << missing.errors;
  // Every mode, with each kind of credentials, right and wrong: no message
  // and no line of the server's log holds a secret or a token.
  const std::string temporary = std::string("AWS_ACCESS_KEY_ID=") + kTemporaryKey +
                                " AWS_SECRET_ACCESS_KEY=" + kTemporarySecret +
                                " AWS_SESSION_TOKEN='" + kToken + "'";
  for (const std::string& prefix :
       {std::string(), temporary, "AWS_SECRET_ACCESS_KEY=wrong " + temporary,
        temporary + " AWS_SESSION_TOKEN=wrong", std::string("AWS_REGION=us-east-1")}) {
    for (const char* mode : {"-dc", "-t", "-l", "-d -f", "-b 5 -s 5", "--recover -c"}) {
      const Result r = kob(std::string(mode) + " " + url + " " + S3Server::url("dir/gone.kob"),
                           prefix + (prefix.empty() ? "" : " "));
      EXPECT_NE(r.status, 0) << mode;  // the missing one at least
      expectNoSecret(r.errors, std::string(mode) + " after " + prefix);
    }
  }
  expectNoSecret(server.logText(), "the server's log");
  EXPECT_FALSE(server.requests().empty());
}

#endif

}  // namespace
