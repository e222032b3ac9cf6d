// Account reports and statements: get_account_reports lists the reports after
// the newest one already recorded and records them
// (_handle_account_report_data); get_bank_statements downloads every
// downloadable report listed (_get_account_report) and runs the statement
// import on each file.
//
// Report bodies can be large (tens of megabytes): a body is read once from
// the response as text and that same str object is handed to the addon's
// `_process_report_data`; nothing here copies, encodes or re-decodes it.
#include "corvane_user.h"
#include "operation.h"

namespace corvane::user {
namespace {

constexpr const char* kReportModel = "corvane.connect.account.report";
constexpr const char* kStatementModel = "account.bank.statement";
constexpr const char* kDateFormat = "%Y-%m-%dT%H:%M:%S.%f";

using host::or_false;

// A listing entry, kept whole.
nb::object the_entry(nb::handle entry) {
    return nb::borrow(entry);
}

// _handle_account_report_data(kav_user, session, report_data): the report
// record of one listing item: the existing records with the item's `id`, or
// else one record created from the item. `session` is accepted and unused.
// The values are built before the lookup, so a missing required key
// (KeyError) or a `receivedAt` that does not parse (ValueError) fails even
// for a report that is already recorded; an existing record is not updated.
nb::object handle_account_report_data(const Namespace& ns, nb::handle kav_user,
                                      nb::handle /*session*/, nb::handle report_data) {
    nb::object identifier = report_data[nb::str("id")];
    nb::object attributes = report_data[nb::str("attributes")];

    // Built in the order of the record's fields; the reads happen in that
    // order too, so the first missing key is the one reported.
    nb::dict vals;
    vals["report_identifier"] = identifier;
    vals["filename"] = nb::object(attributes[nb::str("fileName")]);
    vals["acc_numbers"] = nb::object(attributes[nb::str("accountReferencesAndCurrencies")]);
    vals["file_format"] = or_false(attributes.attr("get")("fileFormat"));
    vals["file_bank_format_type"] = or_false(attributes.attr("get")("fileBankFormatType"));
    vals["file_size"] = nb::object(attributes[nb::str("fileSize")]);
    nb::object received_at = attributes[nb::str("receivedAt")];
    vals["received_at"] = ns[name::kDatetime].attr("strptime")(received_at, kDateFormat);
    vals["financial_institution_name"] =
        nb::object(attributes[nb::str("financialInstitutionName")]);

    nb::object model = kav_user.attr("env")[nb::str(kReportModel)];
    nb::list domain;
    domain.append(nb::make_tuple("report_identifier", "=", identifier));
    nb::object report = model.attr("search")(domain);
    if (!host::truthy(report))
        report = model.attr("create")(vals);
    return report;
}

// get_account_reports(kav_user, session=None): lists, page by page, the
// reports after the newest one recorded for the user's accounts and records
// each. Returns the access-token step's dictionary with "return" = the
// report records in listing order; the guard's or the token step's
// dictionary unchanged when either refuses (the guard runs before a session
// is taken); or "error" = "Error on 'List Account Reports':\n" + body when a
// page fails, with nothing recorded. Transport errors, a body that is not
// JSON, missing keys and unparsable dates propagate.
nb::object get_account_reports(const Namespace& ns, nb::handle kav_user, nb::handle session_arg) {
    operation::Opening opening =
        operation::open(ns, kav_user, "list-account-reports",
                        operation::SessionFrom::CallerOrConfiguration, session_arg);
    if (opening.refused())
        return opening.refusal;
    nb::object result = opening.result;
    nb::object session = opening.session;

    operation::Target target =
        operation::target(ns, operation::Method::Get, {nb::str(operation::kAccountReportsPath)});
    nb::dict headers = operation::form_headers(kav_user);
    nb::dict params = operation::first_page();

    // The resume point: the newest report covering an account this user may
    // see. Its identifier goes last in the query.
    nb::list domain;
    domain.append(
        nb::make_tuple("corvane_connect_account_ids.kav_user_ids", "=", kav_user.attr("id")));
    nb::object last_report = kav_user.attr("env")[nb::str(kReportModel)].attr("search")(
        domain, nb::arg("order") = "id desc", nb::arg("limit") = 1);
    if (host::truthy(last_report))
        params["after"] = last_report.attr("report_identifier");

    // The session encodes `params` into the query with the same form
    // encoding and key order as the signed target.
    operation::Listing listing =
        operation::page_through(ns, kav_user, session, target, "List Account Reports", headers,
                                params, operation::NextQuery::Advanced, result, the_entry);
    if (listing.failed())
        return listing.failure;

    // Every page arrived: only now is anything recorded.
    nb::object new_reports = kav_user.attr("env")[nb::str(kReportModel)];
    for (nb::handle report_data : host::each(listing.items))
        new_reports += ns[name::kHandleReport](kav_user, session, report_data);
    result[nb::str("return")] = new_reports;
    return result;
}

// _get_account_report(kav_user, session, report): downloads one report file
// and stores the statement file record that `_process_report_data` makes
// from the body in the report's `corvane_connect_file_id`. Returns the
// access-token step's dictionary; the guard's or the token step's
// dictionary unchanged when either refuses; on a failed download "error" =
// "Error on 'Get Account Report':\n" + body, the report left as it was.
nb::object get_account_report(const Namespace& ns, nb::handle kav_user, nb::handle session,
                              nb::handle report) {
    operation::Opening opening = operation::open(ns, kav_user, "get-account-report",
                                                 operation::SessionFrom::Caller, session);
    if (opening.refused())
        return opening.refusal;
    nb::object result = opening.result;

    // Inserted as it stands, without percent-encoding, in both the URL and
    // the signed target.
    nb::str identifier = host::text(report.attr("report_identifier"));
    operation::Target target =
        operation::target(ns, operation::Method::Get,
                          {nb::str(operation::kAccountReportsPath), nb::str("/"), identifier});
    operation::Answer answer = operation::send_signed(
        ns, kav_user, session, {target, "Get Account Report", operation::form_headers(kav_user)},
        result);
    if (!answer.failed()) {
        // The body is read once and this same str is handed over.
        nb::object body = answer.response.attr("text");
        report.attr("corvane_connect_file_id") =
            kav_user.attr("_process_report_data")(report, body);
    }
    return result;
}

// get_bank_statements(kav_user): lists the reports (one session for the
// whole call), downloads each downloadable one in listing order and runs the
// import of its statement file. Returns "return" = the bank statements of
// every file in download order, or the first failure's dictionary at once
// (without "return"); reports handled before it stay downloaded and imported.
nb::object get_bank_statements(const Namespace& ns, nb::handle kav_user) {
    nb::object session = kav_user.attr("corvane_connect_config_id").attr("_get_session")();
    nb::object result = ns[name::kListReports](kav_user, nb::arg("session") = session);
    if (host::has_error(result))
        return result;

    nb::object reports = result[nb::str("return")];
    nb::object statements = kav_user.attr("env")[nb::str(kStatementModel)];
    result = nb::dict();
    nb::object downloadable = reports.attr("filtered")("downloadable");
    for (nb::handle item : host::each(downloadable)) {
        nb::object report = nb::borrow(item);
        result = ns[name::kGetReport](kav_user, session, report);
        if (host::has_error(result))
            return result;
        nb::object report_file = report.attr("corvane_connect_file_id");
        report_file.attr("process")();
        statements += report_file.attr("bank_statement_ids");
    }
    result[nb::str("return")] = statements;
    return result;
}

} // namespace

void def_reports(nb::module_& m, const Namespace& ns) {
    m.def(
        "get_account_reports",
        [ns](nb::handle kav_user, nb::handle session) {
            return get_account_reports(ns, kav_user, session);
        },
        host::param("kav_user"), host::param("session") = nb::none(),
        "List and record the account reports after the newest one recorded: "
        "{\"return\": reports} or {\"error\": message}.");
    m.def(
        "_handle_account_report_data",
        [ns](nb::handle kav_user, nb::handle session, nb::handle report_data) {
            return handle_account_report_data(ns, kav_user, session, report_data);
        },
        host::param("kav_user"), host::param("session"), host::param("report_data"),
        "The report record of one listing item: the existing one, or one created from the item.");
    m.def(
        "get_bank_statements",
        [ns](nb::handle kav_user) { return get_bank_statements(ns, kav_user); },
        host::param("kav_user"),
        "Download and import the downloadable reports listed now: {\"return\": statements} or "
        "{\"error\": message}.");
    m.def(
        "_get_account_report",
        [ns](nb::handle kav_user, nb::handle session, nb::handle report) {
            return get_account_report(ns, kav_user, session, report);
        },
        host::param("kav_user"), host::param("session"), host::param("report"),
        "Download one report file into a statement file record: the token step's dictionary, with "
        "\"error\" on failure.");
}

} // namespace corvane::user
