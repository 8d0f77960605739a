<%@ Language="JScript" %>
<html><%= 1 + 2 %>
<% var s = "a %> b"; %></html>
