#pragma once

// What each command carries, once for both ends: Command<code> names its parameters in order with
// their types, the least number of them the executing side needs, and its results in order. The main
// application's library encodes requests and decodes replies with it, the bridge decodes requests and
// encodes replies with it, so neither end can send what the other does not read.
//
// Codes and their meaning: protocol/commandcodes.h. The two directions share their numbers but not
// their enumerations, so Command<cmdLoadDSM> and Command<cmdCallbackMsg> are different descriptions.
//
// Wire types of a field, and how it is read:
// - quint32: an unsigned int QVariant, read with toUInt() (DG and other 32-bit values).
// - quint16: an unsigned int QVariant, read as the low 16 bits of toUInt() (DAT, MSG, capability ids,
//   item types).
// - int: an int QVariant, read with toInt().
// - QByteArray, QString: QVariants holding them, read with toByteArray() and toString().
// A field type that is none of these does not compile.
//
// Results and trailing parameters may be left out: the encoders take how many leading fields to send,
// the decoders answer how many leading fields the list held. A field that is not listed keeps the
// value it had.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "protocol/commandcodes.h"

namespace protocol {

// How one field type travels.
template <typename T>
struct Wire
{
    static_assert(sizeof(T) == 0, "not a type that a command field may have");
};

template <>
struct Wire<quint32>
{
    static QVariant encode(quint32 value) { return QVariant(uint(value)); }
    static quint32 decode(const QVariant& v) { return v.toUInt(); }
};

template <>
struct Wire<quint16>
{
    static QVariant encode(quint16 value) { return QVariant(uint(value)); }
    static quint16 decode(const QVariant& v) { return quint16(v.toUInt() & 0xFFFFu); }
};

template <>
struct Wire<int>
{
    static QVariant encode(int value) { return QVariant(value); }
    static int decode(const QVariant& v) { return v.toInt(); }
};

template <>
struct Wire<QByteArray>
{
    static QVariant encode(const QByteArray& value) { return QVariant(value); }
    static QByteArray decode(const QVariant& v) { return v.toByteArray(); }
};

template <>
struct Wire<QString>
{
    static QVariant encode(const QString& value) { return QVariant(value); }
    static QString decode(const QVariant& v) { return v.toString(); }
};

// The fields of a parameter or result record, in the order they travel.
template <typename... Members>
constexpr std::tuple<Members...> fields(Members... members)
{
    return std::tuple<Members...>(members...);
}

// A record without fields.
struct None
{
};

template <auto kCode>
struct Command; // a code without a description cannot be sent or executed

// --- Commands the bridge executes -------------------------------------------------------------

template <>
struct Command<cmdGetNumCommands>
{
    struct Params
    {
        QByteArray testText;
    };
    static constexpr auto params = fields(&Params::testText);
    static constexpr int minParams = 0;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdQuit>
{
    using Params = None;
    static constexpr auto params = fields();
    static constexpr int minParams = 0;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdLoadDSM>
{
    struct Params
    {
        quint32 dsm = 0; // 1: "TWAIN_32.dll", any other value: "TWAINDSM.dll"
    };
    static constexpr auto params = fields(&Params::dsm);
    static constexpr int minParams = 1;
    struct Results
    {
        quint32 state = 0;
    };
    static constexpr auto results = fields(&Results::state);
};

template <>
struct Command<cmdUnloadDSM>
{
    using Params = None;
    static constexpr auto params = fields();
    static constexpr int minParams = 0;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdTwainCmd>
{
    struct Params
    {
        QByteArray identity; // empty: to the DSM
        quint32 dg = 0;
        quint16 dat = 0;
        quint16 msg = 0;
        QByteArray block; // empty: no data
    };
    static constexpr auto params = fields(&Params::identity, &Params::dg, &Params::dat, &Params::msg,
                                          &Params::block);
    static constexpr int minParams = 5;
    struct Results
    {
        quint32 state = 0;
        quint32 conditionCode = 0;
        QByteArray block; // after success with a data block only
    };
    static constexpr auto results = fields(&Results::state, &Results::conditionCode, &Results::block);
};

template <>
struct Command<cmdTwainSetCapEnum>
{
    struct Params
    {
        QByteArray identity;
        quint16 cap = 0;
        quint16 itemType = 0;
        QByteArray items; // packed item values
    };
    static constexpr auto params = fields(&Params::identity, &Params::cap, &Params::itemType, &Params::items);
    static constexpr int minParams = 4;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdTwainGetCapEnum>
{
    struct Params
    {
        QByteArray identity;
        quint16 cap = 0;
    };
    static constexpr auto params = fields(&Params::identity, &Params::cap);
    static constexpr int minParams = 2;
    struct Results
    {
        QByteArray items; // 16-bit little-endian values, after success
    };
    static constexpr auto results = fields(&Results::items);
};

template <>
struct Command<cmdTwainSetCapOneVal>
{
    struct Params
    {
        QByteArray identity;
        quint16 cap = 0;
        quint16 itemType = 0;
        QByteArray value; // the item's bytes
    };
    static constexpr auto params = fields(&Params::identity, &Params::cap, &Params::itemType, &Params::value);
    static constexpr int minParams = 4;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdTwainGetCapOneVal>
{
    struct Params
    {
        QByteArray identity;
        quint16 cap = 0;
        quint16 itemType = 0;
        quint16 msg = 0;
    };
    static constexpr auto params = fields(&Params::identity, &Params::cap, &Params::itemType, &Params::msg);
    static constexpr int minParams = 4;
    struct Results
    {
        QByteArray value; // the item type's size, after success
    };
    static constexpr auto results = fields(&Results::value);
};

template <>
struct Command<cmdShowLastGUI>
{
    using Params = None;
    static constexpr auto params = fields();
    static constexpr int minParams = 0;
    struct Results
    {
        int view = 0; // a DialogView
    };
    static constexpr auto results = fields(&Results::view);
};

template <>
struct Command<cmdEndBatch>
{
    struct Params
    {
        quint32 what = 0; // 1: the page at hand, 2: it and every pending one
    };
    static constexpr auto params = fields(&Params::what);
    static constexpr int minParams = 1;
    struct Results
    {
        quint32 state = 0;
        quint32 waits = 0; // 1: kept for the batch, 0: carried out
    };
    static constexpr auto results = fields(&Results::state, &Results::waits);
};

template <>
struct Command<cmdTwainGetCap>
{
    struct Params
    {
        QByteArray identity;
        quint16 cap = 0;
        quint16 msg = 0;
    };
    static constexpr auto params = fields(&Params::identity, &Params::cap, &Params::msg);
    static constexpr int minParams = 3;
    struct Results
    {
        quint32 state = 0;
        quint32 conditionCode = 0;
        quint32 conType = 0;  // after success
        QByteArray container; // after success
    };
    static constexpr auto results =
        fields(&Results::state, &Results::conditionCode, &Results::conType, &Results::container);
};

template <>
struct Command<cmdAnnounceCalls>
{
    struct Params
    {
        quint32 announce = 0;
    };
    static constexpr auto params = fields(&Params::announce);
    static constexpr int minParams = 1;
    using Results = None;
    static constexpr auto results = fields();
};

// --- Notifications the bridge sends -----------------------------------------------------------
// Answered with iResult 0 and no results, whatever they carried.

template <>
struct Command<cmdHello>
{
    struct Params
    {
        QString serverPrg;
    };
    static constexpr auto params = fields(&Params::serverPrg);
    static constexpr int minParams = 1;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdCallbackMsg>
{
    struct Params
    {
        quint32 msg = 0; // 0 after a batch of transfers
        quint32 state = 0;
        QString faults; // after a batch only, one line each
    };
    static constexpr auto params = fields(&Params::msg, &Params::state, &Params::faults);
    static constexpr int minParams = 2;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdImageInFile>
{
    struct Params
    {
        int id = 0;
        QString fileName;
    };
    static constexpr auto params = fields(&Params::id, &Params::fileName);
    static constexpr int minParams = 2;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdImageFailed>
{
    struct Params
    {
        int page = 0;
        QString why;
    };
    static constexpr auto params = fields(&Params::page, &Params::why);
    static constexpr int minParams = 2;
    using Results = None;
    static constexpr auto results = fields();
};

template <>
struct Command<cmdTwainCall>
{
    struct Params
    {
        quint32 dg = 0;
        quint16 dat = 0;
        quint16 msg = 0;
    };
    static constexpr auto params = fields(&Params::dg, &Params::dat, &Params::msg);
    static constexpr int minParams = 3;
    using Results = None;
    static constexpr auto results = fields();
};

// --- Encoding and decoding --------------------------------------------------------------------

namespace detail {

template <typename Record, typename Members, std::size_t... I>
QList<QVariant> encode(const Record& record, const Members& members, int count, std::index_sequence<I...>)
{
    QList<QVariant> list;
    const auto add = [&](std::size_t index, const auto& value) {
        using Type = std::decay_t<decltype(value)>;
        if (int(index) < count)
            list.append(Wire<Type>::encode(value));
    };
    (add(I, record.*std::get<I>(members)), ...);
    (void)add;
    (void)count;
    return list;
}

template <typename Record, typename Members, std::size_t... I>
int decode(const QList<QVariant>& list, Record& record, const Members& members, std::index_sequence<I...>)
{
    const auto take = [&](std::size_t index, auto& value) {
        using Type = std::decay_t<decltype(value)>;
        if (int(index) < list.size())
            value = Wire<Type>::decode(list.at(int(index)));
    };
    (take(I, record.*std::get<I>(members)), ...);
    (void)take;
    (void)record;
    return qMin(list.size(), int(sizeof...(I)));
}

template <typename Members>
constexpr int count()
{
    return int(std::tuple_size<std::decay_t<Members>>::value);
}

} // namespace detail

template <auto kCode>
using Params = typename Command<kCode>::Params;
template <auto kCode>
using Results = typename Command<kCode>::Results;

template <auto kCode>
constexpr int paramCount()
{
    return detail::count<decltype(Command<kCode>::params)>();
}

template <auto kCode>
constexpr int resultCount()
{
    return detail::count<decltype(Command<kCode>::results)>();
}

// The first `count` parameters (all of them by default), in order.
template <auto kCode>
QList<QVariant> encodeParams(const Params<kCode>& params, int count = paramCount<kCode>())
{
    return detail::encode(params, Command<kCode>::params, count,
                          std::make_index_sequence<std::size_t(paramCount<kCode>())>());
}

// Reads what the list holds; false when it holds fewer parameters than the command needs (nothing
// is read then). Parameters beyond the description are ignored.
template <auto kCode>
bool decodeParams(const QList<QVariant>& list, Params<kCode>& params, int* pnListed = nullptr)
{
    if (list.size() < Command<kCode>::minParams)
        return false;
    const int nListed = detail::decode(list, params, Command<kCode>::params,
                                       std::make_index_sequence<std::size_t(paramCount<kCode>())>());
    if (pnListed)
        *pnListed = nListed;
    return true;
}

// The first `count` results (all of them by default), in order.
template <auto kCode>
QList<QVariant> encodeResults(const Results<kCode>& results, int count = resultCount<kCode>())
{
    return detail::encode(results, Command<kCode>::results, count,
                          std::make_index_sequence<std::size_t(resultCount<kCode>())>());
}

// Reads the results the list holds; answers how many leading ones it held.
template <auto kCode>
int decodeResults(const QList<QVariant>& list, Results<kCode>& results)
{
    return detail::decode(list, results, Command<kCode>::results,
                          std::make_index_sequence<std::size_t(resultCount<kCode>())>());
}

// --- Checks -----------------------------------------------------------------------------------

namespace detail {

template <auto... kCodes>
struct Table
{
    // Every code has a description whose minimum fits its parameters.
    static constexpr bool minimaFit = ((Command<kCodes>::minParams >= 0 &&
                                        Command<kCodes>::minParams <= paramCount<kCodes>()) &&
                                       ...);
    // No code twice, each within its own enumeration.
    static constexpr bool distinct()
    {
        const int codes[] = {int(kCodes)...};
        for (std::size_t i = 0; i < sizeof...(kCodes); ++i)
            for (std::size_t j = i + 1; j < sizeof...(kCodes); ++j)
                if (codes[i] == codes[j])
                    return false;
        return true;
    }
};

using BridgeCommands = Table<cmdGetNumCommands, cmdQuit, cmdLoadDSM, cmdUnloadDSM, cmdTwainCmd,
                             cmdTwainSetCapEnum, cmdTwainGetCapEnum, cmdTwainSetCapOneVal,
                             cmdTwainGetCapOneVal, cmdShowLastGUI, cmdEndBatch, cmdTwainGetCap,
                             cmdAnnounceCalls>;
using Notifications = Table<cmdHello, cmdCallbackMsg, cmdImageInFile, cmdImageFailed, cmdTwainCall>;

static_assert(BridgeCommands::minimaFit && Notifications::minimaFit,
              "a command needs more parameters than it has");
static_assert(BridgeCommands::distinct() && Notifications::distinct(), "a code is described twice");

} // namespace detail

// Notifications carry no results, and their peer reads only what the description lists.
static_assert(resultCount<cmdHello>() == 0 && resultCount<cmdCallbackMsg>() == 0 &&
                  resultCount<cmdImageInFile>() == 0 && resultCount<cmdImageFailed>() == 0 &&
                  resultCount<cmdTwainCall>() == 0,
              "notifications have no results");

} // namespace protocol
