// Bank accounts: list_accounts (the operation "list-accounts"), _get_account
// (fetch one account and mirror it into its corvane.connect.account record)
// and _update_account (write only the fields whose value changed).
#include "corvane_user.h"
#include "operation.h"

namespace corvane::user {
namespace {

constexpr const char* kAccountModel = "corvane.connect.account";

using host::compare;
using host::contains;
using host::or_false;

// The ten field values of an account record, built from the detail answer's
// attributes in the record's field order. A false attribute (null, "",
// False) gives False. The country and currency lookups read their attribute
// a second time, and referenceType is read twice (test, then lower-case), as
// the value expressions do; a country or currency that `ref` does not know
// raises the ORM's error.
nb::dict account_values(nb::handle kav_user, nb::handle identifier, nb::handle attributes) {
    nb::dict vals;
    vals["account_identifier"] = identifier;

    if (host::truthy(attributes["country"])) {
        nb::object ref = kav_user.attr("env").attr("ref");
        // "base." + country.lower(): a lower() that gives no str raises
        // TypeError, as the concatenation would.
        nb::object xml_id = nb::str("base.") + attributes["country"].attr("lower")();
        vals["country_id"] = ref(xml_id).attr("id");
    } else {
        vals["country_id"] = false;
    }

    if (host::truthy(attributes["currency"])) {
        nb::object ref = kav_user.attr("env").attr("ref");
        nb::str xml_id = host::concat({nb::str("base."), attributes["currency"]});
        vals["currency_id"] = ref(xml_id).attr("id");
    } else {
        vals["currency_id"] = false;
    }

    vals["description"] = or_false(attributes["description"]);
    vals["bic"] = or_false(attributes["financialInstitutionBic"]);
    vals["holder_address"] = or_false(attributes["holderAddress"]);
    vals["holder_country"] = or_false(attributes["holderAddressCountry"]);
    vals["holder_name"] = or_false(attributes["holderName"]);
    vals["acc_number"] = or_false(attributes["reference"]);

    if (host::truthy(attributes["referenceType"]))
        vals["acc_type"] = or_false(attributes["referenceType"].attr("lower")());
    else
        vals["acc_type"] = false;
    return vals;
}

// _get_account: one signed GET of the account's details, then its record
// created or updated (archived records included in the search) and the KAV
// User added to its users when missing. Takes the session of the caller,
// which has already run the guard and the token refresh. A non-success
// answer is logged and returned under "error" before any record is read;
// every other failure is the host's exception.
nb::object get_account(const Namespace& ns, nb::handle kav_user, nb::handle session,
                       nb::handle identifier) {
    nb::dict result;
    operation::Target target = operation::target(
        ns, operation::Method::Get, {nb::str(operation::kAccountsPath), nb::str("/"), identifier});
    operation::Answer answer = operation::send_signed(
        ns, kav_user, session, {target, "Get Account", operation::form_headers(kav_user)}, result);
    if (answer.failed())
        return answer.failure;

    nb::object attributes = answer.response.attr("json")()["data"]["attributes"];
    nb::dict account_val = account_values(kav_user, identifier, attributes);

    nb::object accounts = kav_user.attr("env")[kAccountModel];
    nb::list domain;
    domain.append(nb::make_tuple("account_identifier", "=", identifier));
    // An archived record keeps its identifier: find it rather than make a
    // second record for the same account.
    nb::object account =
        accounts.attr("with_context")(nb::arg("active_test") = false).attr("search")(domain);
    if (!host::truthy(account))
        account = accounts.attr("create")(account_val);
    else
        ns[name::kUpdateAccount](kav_user, account, account_val);

    if (!contains(account.attr("kav_user_ids"), kav_user))
        account.attr("kav_user_ids") = nb::object(account.attr("kav_user_ids")) + kav_user;
    return result;
}

// _update_account: one `write` of the entries of `vals` that differ from the
// record, none when nothing differs; "account_identifier" is never
// rewritten. Keys ending in "_id" are record links, compared by id (an empty
// link reads False). `kav_user` is accepted and not used. Returns None.
void update_account(nb::handle account, nb::handle vals) {
    nb::dict update_vals;
    nb::str identifier_key("account_identifier");
    nb::str id_suffix("_id");
    nb::slice last_three(nb::int_(-3), nb::none(), nb::none());
    for (nb::handle fld : host::each(vals)) {
        if (compare(fld, identifier_key, Py_EQ))
            continue;
        nb::object account_val;
        if (compare(fld[last_three], id_suffix, Py_EQ))
            account_val = account[fld].attr("id");
        else
            account_val = account[fld];
        if (compare(vals[fld], account_val, Py_NE))
            update_vals[fld] = vals[fld];
    }
    if (update_vals.size() != 0)
        account.attr("write")(update_vals);
}

// The two per-record tests of the link maintenance, made once per module
// (nanobind makes function objects immortal on free-threaded builds, so one
// made per call would never be freed) and bound to a call's values with
// functools.partial.
struct LinkFilters {
    nb::object partial;      // functools.partial
    nb::object is_unlisted;  // (identifiers, account): its account_identifier is not listed
    nb::object is_linked_to; // (kav_user, account): the user is among its kav_user_ids
};

LinkFilters make_link_filters() {
    return {nb::module_::import_("functools").attr("partial"),
            nb::cpp_function([](nb::handle identifiers, nb::handle account) {
                return !contains(identifiers, account.attr("account_identifier"));
            }),
            nb::cpp_function([](nb::handle kav_user, nb::handle account) {
                return contains(account.attr("kav_user_ids"), kav_user);
            })};
}

// The identifier of one listing entry.
nb::object identifier_of(nb::handle entry) {
    return entry["id"];
}

// list_accounts: guard, session, token refresh, every listing page (see
// operation::page_through), every account fetched through `_get_account`,
// then the user's links brought in line with the list. Returns the first
// result carrying "error", else the last result received (empty).
nb::object list_accounts(const Namespace& ns, const LinkFilters& filters, nb::handle kav_user) {
    operation::Opening opening =
        operation::open(ns, kav_user, "list-accounts", operation::SessionFrom::Configuration);
    if (opening.refused())
        return opening.refusal;
    nb::object result = opening.result;
    nb::object session = opening.session;

    operation::Target listing_target =
        operation::target(ns, operation::Method::Get, {nb::str(operation::kAccountsPath)});
    operation::Listing listing = operation::page_through(
        ns, kav_user, session, listing_target, "List Accounts", operation::form_headers(kav_user),
        operation::first_page(), operation::NextQuery::New, result, identifier_of);
    if (listing.failed())
        return listing.failure;
    nb::list identifiers = listing.items;

    // Every account is fetched before any link changes, and the first
    // failure stops the call with the links untouched.
    for (nb::handle identifier : host::each(identifiers)) {
        result = ns[name::kGetAccount](kav_user, session, identifier);
        if (host::has_error(result))
            return result;
    }

    nb::object all_accounts = kav_user.attr("env")[kAccountModel].attr("search")(nb::list());
    nb::object other_user_accounts =
        all_accounts.attr("filtered")(filters.partial(filters.is_unlisted, identifiers));
    nb::object listed = all_accounts - other_user_accounts;

    nb::list link_commands;
    for (nb::handle account : host::each(listed))
        link_commands.append(nb::make_tuple(4, account.attr("id")));
    kav_user.attr("kav_account_ids") = link_commands;

    // Command 3 drops this user's link alone; other users who still see an
    // account keep theirs.
    nb::object unlisted_linked =
        other_user_accounts.attr("filtered")(filters.partial(filters.is_linked_to, kav_user));
    nb::list unlink_commands;
    unlink_commands.append(nb::make_tuple(3, kav_user.attr("id")));
    nb::dict unlink_vals;
    unlink_vals["kav_user_ids"] = unlink_commands;
    unlisted_linked.attr("write")(unlink_vals);
    return result;
}

} // namespace

// Every parameter takes any object, None included (`.none()`), as a Python
// function would; an unsuitable one fails with the host's error where it is
// used.
void def_accounts(nb::module_& m, const Namespace& ns) {
    m.def(
        "list_accounts",
        [ns, filters = make_link_filters()](nb::handle kav_user) {
            return list_accounts(ns, filters, kav_user);
        },
        host::param("kav_user"),
        "List the KAV User's bank accounts, mirror each and align the user's links: {} or "
        "{\"error\": message}.");
    m.def(
        "_get_account",
        [ns](nb::handle kav_user, nb::handle session, nb::handle identifier) {
            return get_account(ns, kav_user, session, identifier);
        },
        host::param("kav_user"), host::param("session"), host::param("identifier"),
        "Fetch account `identifier` and create or update its record: {} or {\"error\": message}.");
    m.def(
        "_update_account",
        [](nb::handle, nb::handle account, nb::handle vals) { update_account(account, vals); },
        host::param("kav_user"), host::param("account"), host::param("vals"),
        "Write to `account` the entries of `vals` that differ from its fields.");
}

} // namespace corvane::user
