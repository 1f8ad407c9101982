"""The XML namespaces of the feed and entry documents, with the prefixes the client matches."""

ATOM = "http://www.w3.org/2005/Atom"
OPENSEARCH = "http://a9.com/-/spec/opensearch/1.1/"
# The service's common data schema (prefix nxd) and calendar-extension schema (prefix nxCal).
DS = "https://schemas.nexora.example/data/2008"
CS = "https://schemas.nexora.example/calendar/2008"

# Prefix written for each namespace; "" is the default namespace.
PREFIXES = {ATOM: "", OPENSEARCH: "openSearch", DS: "nxd", CS: "nxCal"}
