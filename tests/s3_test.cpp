// SPDX-License-Identifier: GPL-2.0-or-later
// What is S3's own in reading s3:// URLs: the names, the settings found as
// AWS's command line finds them, S3's error bodies; then, against
// tests/s3_server.py on loopback, S3's error codes as errnos, a skewed
// clock, SlowDown, and no secret in any message or log line. What every
// remote source does is tried against this server and nginx alike in
// remote_test.cpp. The tests that need the server are named Http* as the
// other tests of URLs are (their retries count in real time); they are
// skipped where botocore is missing.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "http_server.h"
#include "kob.h"
#include "kob_names.h"
#include "kob_shared.h"
#include "kob_tool_fixture.h"
#include "source/aws_settings.h"
#include "source/s3_source.h"
#include "test_util.h"

namespace {

using kobtest::AwsEnvironment;
using kobtest::kS3Region;
using kobtest::kS3Secret;
using kobtest::kS3TemporaryKey;
using kobtest::kS3TemporarySecret;
using kobtest::kS3Token;
using kobtest::Logged;
using kobtest::S3Server;
using Settings = std::map<std::string, std::string>;

// ---------------------------------------------------------------------------
// Names

// A name that names no object fails with EINVAL before any request:
// nothing listens at the endpoint, where a request would fail otherwise.
TEST(S3Names, ABucketAndAKeyAreAllANameHolds) {
  struct Case {
    std::string name;
    bool valid;
    const char* bucket;
    const char* key;
  };
  const Case cases[] = {
      {"s3://bkt/x.kob", true, "bkt", "x.kob"},
      {"s3://my.bucket-1/dir/sub/x.kob", true, "my.bucket-1", "dir/sub/x.kob"},
      {"s3://Old_Bucket/k", true, "Old_Bucket", "k"},
      {"s3://" + std::string(255, 'b') + "/k", true, "", ""},
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
      {"s3://" + std::string(256, 'b') + "/k", false, "", ""},
      {"http://bkt/key", false, "", ""},
  };
  AwsEnvironment aws(Settings{{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:9"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40));
    kob::S3Name parts;
    EXPECT_EQ(kob::parseS3Name(c.name, parts), c.valid);
    if (c.valid && *c.bucket != '\0') {
      EXPECT_EQ(parts.bucket, c.bucket);
      EXPECT_EQ(parts.key, c.key);
    }
    if (c.valid || c.name.rfind("s3:", 0) != 0) continue;
    KobFile file;
    errno = 0;
    EXPECT_FALSE(file.open(c.name.c_str(), READ));
    EXPECT_EQ(errno, EINVAL);
    kob::SharedReader shared;
    const kob::Failure failure = shared.open(c.name.c_str());
    EXPECT_EQ(failure.error, EINVAL);
    EXPECT_NE(failure.detail.find("s3://BUCKET/KEY"), std::string::npos) << failure.describe();
  }
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
  // `config` the texts of the files where AWS keeps them, under HOME (null:
  // no file).
  bool find(Settings variables, const char* credentials, const char* config,
            kob::AwsSettings& found, kob::Failure& failure) {
    variables.emplace("HOME", dir.root().string());
    std::filesystem::create_directories(dir.path(".aws"));
    for (const auto& [name, text] : {std::pair{"credentials", credentials}, {"config", config}}) {
      std::filesystem::remove(dir.path(std::string(".aws/") + name));
      if (text != nullptr) kobtest::writeFile(dir.path(std::string(".aws/") + name), text);
    }
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
      {"the default profile of both files, under HOME", {}, profiles, config, "DEFAULTKEY",
       "default-secret", "", "us-west-2", "https://s3.us-west-2.amazonaws.com"},
      {"files named elsewhere, ~ standing for HOME",
       {{"AWS_SHARED_CREDENTIALS_FILE", "/nonexistent"}, {"AWS_CONFIG_FILE", "~/.aws/config"}},
       profiles, config, "", "", "", "us-west-2", "https://s3.us-west-2.amazonaws.com"},
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

#if KOB_HTTP_BUILT

#define SKIP_WITHOUT_SERVER(server) \
  if (!(server).running()) GTEST_SKIP() << (server).why()

// Fails when `text` holds a secret or a token.
void expectNoSecret(const std::string& text, const std::string& where) {
  for (const char* secret : {kS3Secret, kS3TemporarySecret, kS3Token}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << where << ": " << text;
  }
}

// Settings given by the caller reach the object and an index under another
// name, whatever the environment says.
TEST(HttpS3, SettingsGivenReachTheObjectAndItsIndexWhateverTheEnvironmentSays) {
  S3Server server;
  SKIP_WITHOUT_SERVER(server);
  std::mt19937 rng(7);
  const std::string data = kobtest::makeData(1 << 20, rng);
  kobtest::packFile(server.object("big.kob"), data, 16384, rng);
  kobtest::writeIndexBeside(server.object("big.kob"));
  std::filesystem::rename(server.object("big.kob.kbi"), server.object("elsewhere.kbi"));
  const AwsEnvironment nowhere(Settings{{"AWS_ENDPOINT_URL_S3", "http://127.0.0.1:1"}});
  kob::OpenRules rules;
  rules.needSeek = rules.needPacked = true;
  rules.s3 = {server.endpoint(), kobtest::kS3Region, kobtest::kS3Key, kobtest::kS3Secret, "", "", false};
  // An index under another name: opened when the reader asks, not with
  // the object's first request.
  kob::SharedReader reader;
  ASSERT_TRUE(reader.open(kob::openFile(server.url("big.kob"), rules),
                          kob::IndexChoice::at(server.url("elsewhere.kbi"))).ok());
  char bytes[100];
  ASSERT_EQ(reader.readAt(900'000, bytes, sizeof bytes).bytes, sizeof bytes);
  EXPECT_TRUE(std::string(bytes, sizeof bytes) == data.substr(900'000, sizeof bytes));
  bool indexRead = false;
  for (const Logged& r : server.requests()) {
    indexRead |= r.name == "elsewhere.kbi" && r.status == 206 && r.accessKey == kobtest::kS3Key;
  }
  EXPECT_TRUE(indexRead);
}

// S3's answers as errnos, its code in the detail.
TEST(HttpS3, EachRefusalGivesItsErrnoAndNamesS3sCode) {
  S3Server server;
  SKIP_WITHOUT_SERVER(server);
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
      {"the long-term key", {}, "s3://bkt/x.kob", 0, ""},
      {"the temporary key with its token",
       {{"AWS_ACCESS_KEY_ID", kS3TemporaryKey},
        {"AWS_SECRET_ACCESS_KEY", kS3TemporarySecret},
        {"AWS_SESSION_TOKEN", kS3Token}},
       "s3://bkt/x.kob", 0, ""},
      {"a missing key", {}, "s3://bkt/none.kob", ENOENT, "NoSuchKey"},
      {"a missing bucket", {}, "s3://nobucket/x.kob", ENOENT, "NoSuchBucket"},
      {"a wrong secret", {{"AWS_SECRET_ACCESS_KEY", "wrong-secret"}}, "s3://bkt/x.kob", EACCES,
       "SignatureDoesNotMatch"},
      {"an unknown key", {{"AWS_ACCESS_KEY_ID", "AKIDUNKNOWN"}}, "s3://bkt/x.kob", EACCES,
       "InvalidAccessKeyId"},
      {"a temporary key without its token",
       {{"AWS_ACCESS_KEY_ID", kS3TemporaryKey}, {"AWS_SECRET_ACCESS_KEY", kS3TemporarySecret}},
       "s3://bkt/x.kob", EACCES, "InvalidAccessKeyId"},
      {"a wrong token",
       {{"AWS_ACCESS_KEY_ID", kS3TemporaryKey},
        {"AWS_SECRET_ACCESS_KEY", kS3TemporarySecret},
        {"AWS_SESSION_TOKEN", "wrong-token"}},
       "s3://bkt/x.kob", EACCES, "InvalidToken"},
      {"a token with a long-term key", {{"AWS_SESSION_TOKEN", kS3Token}}, "s3://bkt/x.kob", EACCES,
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
  AwsEnvironment unsigned_(Settings{{"AWS_ENDPOINT_URL_S3", server.endpoint()}, {"AWS_REGION", kS3Region}});
  kob::SharedReader shared;
  EXPECT_NE(shared.open("s3://bkt/x.kob").detail.find("no AWS credentials"), std::string::npos);
  expectNoSecret(server.logText(), "the server's log");
}

// What a server that answers so does: a skewed clock is refused with
// EACCES; SlowDown is tried again, a few times and no more, then fails
// with EIO naming it.
TEST(HttpS3Answers, ASkewedClockAndSlowDownEndAsTheyShould) {
  setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
  std::mt19937 rng(5);
  const std::string data = kobtest::makeData(600000, rng);
  const struct {
    std::vector<std::string> options;
    int error;
    const char* code;
    int slowed, asked;
  } rows[] = {
      {{"--clock-offset", "3600"}, EACCES, "RequestTimeTooSkewed", 0, 1},
      {{"--slowdown", "2"}, 0, "", 2, 2},
      {{"--slowdown", "1000"}, EIO, "SlowDown", 4, 4},  // tried three times more
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.options[0] + " " + row.options[1]);
    S3Server server(row.options);
    SKIP_WITHOUT_SERVER(server);
    kobtest::packFile(server.object("data.kob"), data, 16384, rng);
    AwsEnvironment aws(server.settings());
    kob::SharedReader shared;
    kob::Failure failure = shared.open("s3://bkt/data.kob");
    char bytes[1000];
    if (failure.ok()) failure = shared.readAt(300000, bytes, sizeof bytes).failure;
    EXPECT_EQ(failure.error, row.error) << failure.describe();
    EXPECT_NE(failure.detail.find(row.code), std::string::npos) << failure.describe();
    if (row.error == 0) {
      EXPECT_TRUE(std::string(bytes, sizeof bytes) == data.substr(300000, 1000));
    }
    int slowed = 0, asked = 0;
    for (const Logged& r : server.requests()) {
      slowed += r.status == 503 && r.code == "SlowDown";
      asked += r.name == "data.kob";
    }
    EXPECT_GE(slowed, row.slowed);
    if (row.error != 0) {
      EXPECT_EQ(asked, row.asked);
    }
  }
}

class HttpS3Tool : public kobtest::KobTool {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_SERVER(server);
    setenv("KOB_HTTP_RETRY_DELAY_MS", "5", 1);
    aws = std::make_unique<AwsEnvironment>(server.settings());
    std::mt19937 rng(3);
    kobtest::packFile(server.object("dir/t.kob"), kobtest::makeData(300000, rng), 8000, rng);
    kobtest::writeIndexBeside(server.object("dir/t.kob"));
  }
  void TearDown() override { aws.reset(); }
  S3Server server;
  std::unique_ptr<AwsEnvironment> aws;
};

TEST_F(HttpS3Tool, AWrongSecretIsOneLineNamingTheCodeAndNoSecretIsEverShown) {
  const std::string url = server.url("dir/t.kob");
  const Result wrong = kob("-dc " + url, "AWS_SECRET_ACCESS_KEY=wrong-secret");
  EXPECT_EQ(wrong.status, 1);
  kobtest::expectMessage(wrong.errors, url + ": ");
  EXPECT_NE(wrong.errors.find("Permission denied (SignatureDoesNotMatch"), std::string::npos)
      << wrong.errors;
  EXPECT_TRUE(wrong.out.empty());
  const Result missing = kob("-dc " + server.url("dir/gone.kob"));
  EXPECT_EQ(missing.status, 1);
  kobtest::expectMessage(missing.errors, server.url("dir/gone.kob") + ": ");
  EXPECT_NE(missing.errors.find("No such file or directory (NoSuchKey"), std::string::npos)
      << missing.errors;
  // Every mode, with each kind of credentials, right and wrong: no message
  // and no line of the server's log holds a secret or a token.
  const std::string temporary = std::string("AWS_ACCESS_KEY_ID=") + kS3TemporaryKey +
                                " AWS_SECRET_ACCESS_KEY=" + kS3TemporarySecret +
                                " AWS_SESSION_TOKEN='" + kS3Token + "'";
  for (const std::string& prefix :
       {std::string(), temporary, "AWS_SECRET_ACCESS_KEY=wrong " + temporary,
        temporary + " AWS_SESSION_TOKEN=wrong", std::string("AWS_REGION=us-east-1")}) {
    for (const char* mode : {"-dc", "-t", "-l", "-d -f", "-b 5 -s 5", "--recover -c"}) {
      const Result r = kob(std::string(mode) + " " + url + " " + server.url("dir/gone.kob"),
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
