// A custom source over HTTPS against the local tile service with certificates made here: a task
// through a template saves the served tiles; refused certificates are told and fail the tile; a
// proxy's CONNECT tunnel carries the credentials to the proxy only.
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/Tls.h"
#include "download/Unit3.h"
#include "download/httpclient.h"
#include "geo/Commonfunc.h"
#include "base/TextRules.h"
#include "engine/Unitclasstask.h"
#include "tests/download/RecordingHost.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tools/tileservice/TileRenderer.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using tileservice::MapKind;

constexpr int Zoom = 12;
constexpr int X0 = 2141;
constexpr int Y0 = 1420;

std::unique_ptr<tileservice::TileService> HttpsService(const test::CertificateFiles& files) {
    tileservice::ServiceOptions options;
    options.Port = 0;
    options.TlsCert = files.Cert;
    options.TlsKey = files.Key;
    return std::make_unique<tileservice::TileService>(options);
}

// The message of what Get throws, "" when it returns.
std::string Fetch(TIdHTTP& client, const std::string& url, std::string& body) {
    try {
        client.Get(url, body);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

class HttpsSource : public ::testing::Test {
protected:
    HttpsSource() {
        std::filesystem::create_directory(m_exe.Path() + "blankimg");
        test::WriteFileBytes(m_exe.Path() + "blankimg/blank.jpg", "blank jpg");
    }

    // A satellite task of columns x rows tiles from X0, Y0 with the source and CA file.
    std::shared_ptr<DownloadTask> MakeTask(const TileSource& source, const std::string& caFile,
                                           int columns, int rows) {
        auto params = std::make_shared<TaskParams>();
        params->LeftLongitude = TileXToLon(X0 + 0.5, Zoom);
        params->RightLongitude = TileXToLon(X0 + columns - 0.5, Zoom);
        params->TopLatitude = TileYToLat(Y0 + 0.5, Zoom);
        params->BottomLatitude = TileYToLat(Y0 + rows - 0.5, Zoom);
        params->Zoom = Zoom;
        params->MapsType = 18;
        params->SavePath = m_save.Path();
        params->ProjectName = "https.zav";
        params->Source = source;
        params->CaFile = caFile;
        auto task = std::make_shared<DownloadTask>(params);
        params->ThreadCount = std::min(source.Workers, task->TileCount);
        task->WriteProjectFile();
        return task;
    }

    TileSource Source(int port) const {
        TileSource source;
        source.Name = "Local HTTPS";
        source.Templates[1] =
            "https://127.0.0.1:" + std::to_string(port) + "/xyz/satellite/{z}/{x}/{-y}.jpg?s={s}";
        source.Subdomains = {"a", "b"};
        source.Format = "jpg";
        source.TileDelayMs = 50;
        return source;
    }

    TempDir m_folder;
    TempDir m_exe;
    TempDir m_save;
};

TEST_F(HttpsSource, ATaskThroughATemplateSavesTheServedTilesUnderTheSourcesFormat) {
    const test::CertificateFiles good =
        test::MakeCertificates(m_folder.Path(), "good", "127.0.0.1");
    const auto service = HttpsService(good);
    using Picture = tileservice::TileRequest::Picture;
    struct Served {
        const char* Format;
        Picture Kind;
        int Side; // 512: the source's "@2x" tiles
    };
    for (const auto& [format, picture, side] :
         {Served{"jpg", Picture::Jpeg, 256}, {"webp", Picture::Webp, 256}, {"png", Picture::Png, 512}}) {
        SCOPED_TRACE(format);
        TileSource source = Source(service->Port());
        source.Format = format;
        source.TileSize = side;
        ReplaceAll(source.Templates[1], ".jpg",
                   std::string(side == 512 ? "@2x." : ".") + format);
        const auto task = MakeTask(source, good.CaCert, 2, 3);
        ASSERT_EQ(2, task->Params->ThreadCount);
        test::RecordingHost host(m_exe.Path());
        {
            TDownThread first(0, task, host), second(1, task, host);
            ASSERT_TRUE(host.WaitForWorkers(2));
        }
        EXPECT_TRUE(host.Failed().empty());
        for (int x = X0; x < X0 + 2; ++x) {
            for (int y = Y0; y < Y0 + 3; ++y) {
                // {-y}: the row counted from the south is the one the service drew.
                const std::string served = tileservice::RenderTilePng(
                    {MapKind::Satellite, Zoom, x, (1 << Zoom) - 1 - y, picture, side});
                EXPECT_EQ(served, ReadFileBytes(m_save.Path() + "https/zavs_" + std::to_string(x) +
                                                "_" + std::to_string(y) + "_12." + format));
            }
        }
        // The source's own pace between a worker's tiles (none after its last), and the task's
        // record of its source for a resume or the viewer.
        const std::vector<int> sleeps = host.Sleeps();
        EXPECT_EQ(4, std::count(sleeps.begin(), sleeps.end(), 50));
        const TaskParams read = ReadTaskParams(task->ProjectFile());
        ASSERT_TRUE(read.Source);
        EXPECT_EQ(source.Templates[1], read.Source->Templates[1]);
        EXPECT_EQ(source.Subdomains, read.Source->Subdomains);
        EXPECT_EQ(format, read.Source->Format);
        EXPECT_EQ(side, read.Source->TileSize);
    }
}

TEST_F(HttpsSource, ARefusedCertificateStopsTheTaskOnceAndLeavesItsTilesToFetch) {
    const auto other = test::MakeCertificates(m_folder.Path(), "other", "127.0.0.1");
    struct Case {
        test::CertificateFiles Served;
        std::string Trusted;
        const char* Host; // as the URL names it
        const char* Why;  // empty: accepted
    };
    const test::CertificateFiles expired =
        test::MakeCertificates(m_folder.Path(), "expired", "127.0.0.1", -7200, -3600);
    const test::CertificateFiles named =
        test::MakeCertificates(m_folder.Path(), "named", "tiles.example");
    const test::CertificateFiles local =
        test::MakeCertificates(m_folder.Path(), "local", "localhost");
    const Case cases[] = {
        {test::MakeCertificates(m_folder.Path(), "unknown", "127.0.0.1"), other.CaCert, "127.0.0.1",
         "unknown issuer"},
        {named, named.CaCert, "127.0.0.1", "issued for another host"},
        {expired, expired.CaCert, "127.0.0.1", "expired"},
        // "localhost" is verified as the name it is (and sent as SNI), whatever it connects to.
        {local, local.CaCert, "localhost", ""},
        {local, local.CaCert, "LocalHost", ""},
        {test::MakeCertificates(m_folder.Path(), "ip", "127.0.0.1"), other.CaCert, "localhost",
         "unknown issuer"},
    };
    for (const Case& c : cases) {
        const auto service = HttpsService(c.Served);
        TIdHTTP client;
        client.Tls = std::make_shared<TlsContext>(c.Trusted);
        std::string body;
        const std::string url = "https://" + std::string(c.Host) + ":" +
                                std::to_string(service->Port()) + "/xyz/normal/1/0/0.png";
        const std::string refused = *c.Why ? "The certificate of " + std::string(c.Host) +
                                                 " was refused: " + c.Why +
                                                 ". Set the CA file in Options or ask the "
                                                 "service's owner."
                                           : "";
        EXPECT_EQ(refused, Fetch(client, url, body)) << c.Host << " " << c.Why;
        EXPECT_EQ(refused.empty(), !body.empty());
    }

    // In a task of two workers: the line once, no tile listed or blank, every position where it
    // was, so that a resume with the right CA file fetches them.
    const auto service = HttpsService(test::MakeCertificates(m_folder.Path(), "task", "127.0.0.1"));
    TileSource source = Source(service->Port());
    const auto task = MakeTask(source, other.CaCert, 2, 1);
    ASSERT_EQ(2, task->Params->ThreadCount);
    test::RecordingHost host(m_exe.Path());
    std::pair<int, int> first, second;
    // Held here as the workers of a longer task hold it between them: a worker refused at once
    // may end before the other begins, and no one would hold it then.
    const auto held = SharedTlsContext(other.CaCert);
    const int contexts = TlsContextsMade();
    {
        TDownThread one(0, task, host), two(1, task, host);
        ASSERT_TRUE(host.WaitForWorkers(2));
        first = one.LastPosition();
        second = two.LastPosition();
    }
    std::vector<std::string> log = host.Log();
    std::sort(log.begin(), log.end());
    EXPECT_EQ((std::vector<std::string>{"T1 Finished.", "T2 Finished.",
                                        "The certificate of 127.0.0.1 was refused: unknown "
                                        "issuer. Set the CA file in Options or ask the service's "
                                        "owner."}),
              log);
    EXPECT_TRUE(host.Failed().empty());
    EXPECT_EQ(contexts, TlsContextsMade()); // the task's two workers share the context held
    EXPECT_EQ((std::pair{0, 0}), first);
    EXPECT_EQ((std::pair{0, 0}), second);
    EXPECT_FALSE(std::filesystem::exists(task->TilePath(X0, Y0)));
}

TEST_F(HttpsSource, AProxyTunnelCarriesTheCredentialsToTheProxyOnly) {
    const test::CertificateFiles good =
        test::MakeCertificates(m_folder.Path(), "good", "127.0.0.1");
    const auto service = HttpsService(good);
    test::LoopbackServer proxy([&](test::ServerConnection& connection) {
        const std::string head = connection.ReadRequest();
        if (head.find("Proxy-Authorization: Basic dTpw\r\n") == std::string::npos) {
            connection.Send("HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: "
                            "0\r\n\r\n");
            return;
        }
        connection.Send("HTTP/1.1 200 Connection established\r\n\r\n");
        connection.Relay(service->Port());
    });
    TIdHTTP client;
    client.Tls = std::make_shared<TlsContext>(good.CaCert);
    client.ProxyServer = "127.0.0.1";
    client.ProxyPort = proxy.Port();
    client.ProxyUsername = "u";
    client.ProxyPassword = "p";
    const std::string authority = "127.0.0.1:" + std::to_string(service->Port());
    std::string body;
    EXPECT_EQ("", Fetch(client, "https://" + authority + "/xyz/terrain/3/2/1.png", body));
    EXPECT_EQ(tileservice::RenderTilePng({MapKind::Terrain, 3, 2, 1}), body);
    // Only the CONNECT head is readable to the proxy: the request itself went encrypted.
    EXPECT_EQ("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
                  "\r\nProxy-Authorization: Basic dTpw\r\n\r\n",
              proxy.Received().front().substr(0, proxy.Received().front().find("\r\n\r\n") + 4));
    EXPECT_EQ(std::string::npos, proxy.AllReceived().find("GET "));

    TIdHTTP refused;
    refused.Tls = client.Tls;
    refused.ProxyServer = "127.0.0.1";
    refused.ProxyPort = proxy.Port();
    EXPECT_EQ("The proxy refused the tunnel to " + authority +
                  ": 407 Proxy Authentication Required",
              Fetch(refused, "https://" + authority + "/xyz/terrain/3/2/1.png", body));
}

} // namespace
} // namespace quarrow
