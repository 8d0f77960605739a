<%@ Language="JScript" %><%
// The upload form; on POST the road of one upload: load the picture, scale it to fit
// 160 x 120 keeping its proportions, save the JPEG thumbnail under a unique name in the
// uploads folder. Below, the gallery of earlier uploads, newest first.
var kBoxWidth = 160, kBoxHeight = 120, kGallerySize = 24;
var kUploadFolder = "uploads";
var shown = null, problem = null;

function fitInBox(width, height) {
    var scale = Math.min(kBoxWidth / width, kBoxHeight / height);
    return {
        width: Math.max(1, Math.min(kBoxWidth, Math.round(width * scale))),
        height: Math.max(1, Math.min(kBoxHeight, Math.round(height * scale)))
    };
}

// A saved thumbnail's name carries what the gallery shows: when, the original's size and
// format, and the title (percent-encoded, with '=' for '%', so any title is a safe name).
function encodeTitle(title) {
    var encoded = "";
    for (var text = title.substr(0, 80); ; text = text.substr(0, text.length - 1)) {
        encoded = encodeURIComponent(text).replace(/[!'()*~_.]/g, function (c) {
            return "%" + c.charCodeAt(0).toString(16).toUpperCase();
        }).replace(/%/g, "=");
        if (encoded.length <= 150) return encoded;
    }
}

function thumbnailName(width, height, format, title) {
    var unique = Date.now() + "-" + Math.floor(Math.random() * 0x100000000).toString(16) +
                 Math.floor(Math.random() * 0x100000000).toString(16);
    return unique + "_" + width + "x" + height + "_" + format + "_" + encodeTitle(title) + ".jpg";
}

function readName(name) {
    var m = /^(\d+)-[0-9a-f]+_(\d+)x(\d+)_([A-Z0-9]*)_([A-Za-z0-9=-]*)\.jpg$/.exec(name);
    if (!m) return null;
    var title = "";
    try { title = decodeURIComponent(m[5].replace(/=/g, "%")); } catch (e) { title = ""; }
    return { name: name, when: new Date(Number(m[1])), width: m[2], height: m[3], format: m[4], title: title };
}

if (Request.ServerVariables("REQUEST_METHOD") == "POST") {
    var upload = Server.CreateObject("Lumexa.Quillet");
    var title = upload.Request("title");
    var fileName = upload.FileName("photo");
    var format = upload.ExtName("photo").replace(/^\./, "").toUpperCase().replace(/[^A-Z0-9]/g, "");
    try {
        if (!upload.LoadImage("photo")) {
            problem = "Choose a picture to upload.";
        } else {
            var width = upload.Width, height = upload.Height;
            var box = fitInBox(width, height);
            if (width <= 0 || height <= 0 || !upload.SetSize(box.width, box.height)) {
                problem = "The picture " + fileName + " could not be scaled.";
            } else {
                upload.FilePath = Server.MapPath(kUploadFolder);
                var saved = thumbnailName(width, height, format, title);
                if (upload.FilePath == "") problem = "The upload folder could not be created.";
                else if (!upload.SaveImage(saved)) problem = "The thumbnail could not be saved.";
                else shown = { name: saved, title: title, fileName: fileName, width: width, height: height,
                               format: format, thumbWidth: box.width, thumbHeight: box.height };
            }
        }
    } catch (e) {
        problem = "The picture " + (fileName || "") + " was refused: " + e.description;
    }
}

var gallery = [];
var files = Server.ListFiles(kUploadFolder);
for (var i = 0; i < files.length && gallery.length < kGallerySize; i++) {
    var entry = readName(files[i].Name);
    if (entry) gallery.push(entry);
}
%><!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Quillet: picture upload</title>
<link rel="stylesheet" href="style.css">
</head>
<body>
<header>
  <h1>Quillet</h1>
  <p>Upload a picture: it is read on the server and made into a JPEG thumbnail of at most
     <%= kBoxWidth %> &times; <%= kBoxHeight %> pixels.</p>
</header>
<main>
  <section class="card">
    <h2>New upload</h2>
    <form method="post" action="<%= Server.HTMLEncode(Request.ServerVariables("SCRIPT_NAME")) %>" enctype="multipart/form-data">
      <label for="title">Title</label>
      <input id="title" name="title" type="text" maxlength="80" placeholder="A name for the picture">
      <label for="photo">Picture</label>
      <input id="photo" name="photo" type="file" required
             accept="image/*,.tga,.tif,.tiff,.pcx,.pcd,.pbm,.pgm,.ppm,.cut,.rla,.rpf,.psd,.sgi,.rgb,.bw,.cel,.pic">
      <p class="hint">GIF, JPEG, BMP, TIFF, Targa, PCX, Photoshop, SGI, PPM and more.</p>
      <button type="submit">Upload</button>
    </form>
  </section>
<% if (problem) { %>
  <section class="card problem" role="alert" id="problem">
    <h2>Not uploaded</h2>
    <p><%= Server.HTMLEncode(problem) %></p>
  </section>
<% } %>
<% if (shown) { %>
  <section class="card result" id="result">
    <h2>Uploaded</h2>
    <figure>
      <img id="thumbnail" src="<%= kUploadFolder %>/<%= Server.URLEncode(shown.name) %>"
           width="<%= shown.thumbWidth %>" height="<%= shown.thumbHeight %>" alt="<%= Server.HTMLEncode(shown.title) %>">
      <figcaption>
        <strong><%= Server.HTMLEncode(shown.title || "(untitled)") %></strong>
        <span><%= Server.HTMLEncode(shown.fileName) %></span>
        <span>original <%= shown.width %> &times; <%= shown.height %>, <%= shown.format %></span>
        <span>thumbnail <%= shown.thumbWidth %> &times; <%= shown.thumbHeight %>, JPEG</span>
      </figcaption>
    </figure>
  </section>
<% } %>
  <section class="card">
    <h2>Gallery</h2>
<% if (gallery.length == 0) { %>
    <p class="hint">Nothing uploaded yet.</p>
<% } else { %>
    <ul class="gallery">
<%   for (var g = 0; g < gallery.length; g++) { var item = gallery[g]; %>
      <li>
        <img src="<%= kUploadFolder %>/<%= Server.URLEncode(item.name) %>" alt="<%= Server.HTMLEncode(item.title) %>" loading="lazy">
        <strong><%= Server.HTMLEncode(item.title || "(untitled)") %></strong>
        <span><%= item.width %> &times; <%= item.height %> <%= item.format %></span>
      </li>
<%   } %>
    </ul>
<% } %>
  </section>
</main>
<footer><p>Served by <code>quillet serve</code>.</p></footer>
</body>
</html>
