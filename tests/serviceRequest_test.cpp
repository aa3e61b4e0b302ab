#include "serviceRequest.h"

#include "remoteProperty.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace
{

struct lengthCase_s {
    const char* name;
    std::string received;
    bool inputEnded;
    int expected;
};

TEST(ServiceRequestFraming, RequestEndsAfterTheNulOrTheLineFeedByKind)
{
    const lengthCase_s cases[] = {
        { "get with NUL", "get=a\n\0"s, false, 7 },
        { "get waits for its NUL", "get=a\n", false, REQUEST_INCOMPLETE },
        { "get without NUL once input ended", "get=a\n", true, 6 },
        { "get followed by other byte", "get=a\nx", false, 6 },
        { "STN with NUL", "STN=1=s=m=r\n\0"s, false, 13 },
        { "ping has no NUL", "ping\n", false, 5 },
        { "AKT has no NUL", "AKT=\n", false, 5 },
        { "GEN has no NUL", "GEN=\n", false, 5 },
        { "ping followed by a NUL anyway", "ping\n\0"s, false, 6 },
        { "AKT followed by a NUL and more", "AKT=\n\0x"s, false, 6 },
        { "no line feed yet", "get=ab", false, REQUEST_INCOMPLETE },
        { "nothing yet", "", false, REQUEST_INCOMPLETE },
        { "half-sent then closed", "get=ab", true, REQUEST_TRUNCATED },
        { "closed without a byte", "", true, REQUEST_TRUNCATED },
        { "no line feed in a full buffer", std::string(MAX_REQUEST, 'a'), false, REQUEST_TOO_LONG },
        { "largest request", "set=" + std::string(MAX_REQUEST - 6, 'a') + "\n\0"s, false, MAX_REQUEST },
        { "one byte over", "set=" + std::string(MAX_REQUEST - 5, 'a') + "\n\0"s, false, REQUEST_TOO_LONG },
        { "one byte over, NUL still due", "set=" + std::string(MAX_REQUEST - 5, 'a') + "\n", false, REQUEST_TOO_LONG },
    };
    for (const auto& row : cases)
        EXPECT_EQ(requestLength(row.received, row.inputEnded), row.expected) << row.name;
}

struct parseCase_s {
    const char* line;
    int rc;
    requestKind kind;
    const char* key;
    const char* value;
};

TEST(ServiceRequestParsing, PropertyRequestsCarryNameAndValue)
{
    const parseCase_s cases[] = {
        { "ping", 0, REQUEST_PING, "", "" },
        { "get=STNC.ForceInline", 0, REQUEST_GET, "STNC.ForceInline", "" },
        { "set=a.b=c", 0, REQUEST_SET, "a.b", "c" },
        { "set=a=b=c", 0, REQUEST_SET, "a", "b=c" },
        { "set=a=", 0, REQUEST_SET, "a", "" },
        { "sre=a=1", 0, REQUEST_SRE, "a", "1" },
        { "sts=stamp", 0, REQUEST_STS, "stamp", "" },
        { "val=^ab+$", 0, REQUEST_VAL, "^ab+$", "" },
        { "set=tab\tkey=v", 0, REQUEST_SET, "tab\tkey", "v" },
        { "get=r\xc3\xb4le", 0, REQUEST_GET, "r\xc3\xb4le", "" },
    };
    for (const auto& row : cases) {
        serviceRequest_s request;
        std::string reason;
        ASSERT_EQ(parseServiceRequest(row.line, request, reason), row.rc) << row.line << " " << reason;
        EXPECT_EQ(request.kind, row.kind) << row.line;
        EXPECT_EQ(request.key, row.key) << row.line;
        EXPECT_EQ(request.value, row.value) << row.line;
    }
}

TEST(ServiceRequestParsing, MalformedAndUnknownRequestsAreRefused)
{
    const char* refused[] = {
        "",
        "pin",
        "pingx",
        "PING",
        "get=",
        "set=a",
        "set==v",
        "sre=a",
        "sts=",
        "sts=a=b",
        "val=",
        "AKT=x",
        "GEN=1",
        "RTN=",
        "RTN=0",
        "RTN=1000",
        "RTN=-5",
        "RTN=1x",
        "STN=",
        "STN=5",
        "STN=5=s=m",
        "STN=0=s=m=r",
        "STN=abc=s=m=r",
        "STN=1000=s=m=r",
        "get=a\rb",
        "set=a=b\x01",
        "get=\x7f",
        "hello",
        "GET=a",
    };
    for (const char* line : refused) {
        serviceRequest_s request;
        std::string reason;
        EXPECT_EQ(parseServiceRequest(line, request, reason), -1) << line;
        EXPECT_FALSE(reason.empty()) << line;
    }
}

TEST(ServiceRequestParsing, TerminalNumbersAreOneToNineHundredNinetyNine)
{
    const std::pair<const char*, int> cases[] = {
        { "1", 1 },
        { "999", 999 },
        { "007", 7 },
        { "0", 0 },
        { "1000", 0 },
        { "", 0 },
        { " 5", 0 },
        { "+5", 0 },
        { "99999999999", 0 },
    };
    for (const auto& [text, expected] : cases) {
        int number = 0;
        EXPECT_EQ(parseTerminalNumber(text, number), expected != 0) << text;
        if (expected) {
            EXPECT_EQ(number, expected) << text;
        }
    }
}

struct splitCase_s {
    const char* name;
    const char* fields;
    const char* serial;
    const char* mac;
    const char* role;
};

TEST(ServiceRequestParsing, TerminalFieldsSplitAroundTheMacAddress)
{
    const splitCase_s cases[] = {
        { "plain", "MT.A.SN.1=00:11:22:33:44:55=Kasse", "MT.A.SN.1", "00:11:22:33:44:55", "Kasse" },
        { "role with =", "MT.A.SN.1=00:11:22:33:44:55=a=b", "MT.A.SN.1", "00:11:22:33:44:55", "a=b" },
        { "serial with =", "MT.A.SN.x=y=00-11-22-33-44-55=r", "MT.A.SN.x=y", "00-11-22-33-44-55", "r" },
        { "both with =", "S=1=00:11:22:33:44:55=r=2", "S=1", "00:11:22:33:44:55", "r=2" },
        { "dotted MAC", "S=0011.2233.4455=r", "S", "0011.2233.4455", "r" },
        { "empty MAC", "S==r=x", "S", "", "r=x" },
        { "bare hex MAC", "S=001122334455=r=x", "S", "001122334455", "r=x" },
        { "empty serial", "=00:11:22:33:44:55=r", "", "00:11:22:33:44:55", "r" },
        { "empty role", "S=00:11:22:33:44:55=", "S", "00:11:22:33:44:55", "" },
        { "MAC-shaped role is the role", "S=00:11:22:33:44:55=00:11:22:33:44:66", "S", "00:11:22:33:44:55",
            "00:11:22:33:44:66" },
        { "short hex group is no MAC", "S=ab:cd=r=x", "S", "ab:cd", "r=x" },
    };
    for (const auto& row : cases) {
        std::string serial, mac, role;
        ASSERT_EQ(splitTerminalFields(row.fields, serial, mac, role), 0) << row.name;
        EXPECT_EQ(serial, row.serial) << row.name;
        EXPECT_EQ(mac, row.mac) << row.name;
        EXPECT_EQ(role, row.role) << row.name;
    }
    std::string serial, mac, role;
    EXPECT_EQ(splitTerminalFields("S=00:11:22:33:44:55", serial, mac, role), -1);
}

TEST(ServiceRequestParsing, RegistrationCarriesNumberAndFields)
{
    serviceRequest_s request;
    std::string reason;
    ASSERT_EQ(parseServiceRequest("STN=012=MT.M.SN.9=00:11:22:33:44:55=Role=1", request, reason), 0) << reason;
    EXPECT_EQ(request.kind, REQUEST_STN);
    EXPECT_EQ(request.number, 12);
    EXPECT_EQ(request.serial, "MT.M.SN.9");
    EXPECT_EQ(request.mac, "00:11:22:33:44:55");
    EXPECT_EQ(request.role, "Role=1");
    ASSERT_EQ(parseServiceRequest("TBS=MT.M.SN.9", request, reason), 0);
    EXPECT_EQ(request.kind, REQUEST_TBS);
    EXPECT_EQ(request.serial, "MT.M.SN.9");
    ASSERT_EQ(parseServiceRequest("TBM=", request, reason), 0);
    EXPECT_EQ(request.kind, REQUEST_TBM);
    EXPECT_EQ(request.mac, "");
    ASSERT_EQ(parseServiceRequest("RTN=42", request, reason), 0);
    EXPECT_EQ(request.kind, REQUEST_RTN);
    EXPECT_EQ(request.number, 42);
}

} // namespace
