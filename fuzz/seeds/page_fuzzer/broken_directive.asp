<%@ Language=
