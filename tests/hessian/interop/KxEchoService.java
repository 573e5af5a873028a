import com.caucho.hessian.server.HessianSkeleton;
import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;

// A Hessian service of the Java implementation answering invoke(byte[]) at
// /KxService on a free loopback port:
//   java KxEchoService <port file>
// It echoes each document behind the prefix "ECHO:", and answers a document
// holding <ACTION>FAULT</ACTION> with a fault. A request whose Content-Type is
// not x-application/hessian gets HTTP status 415. It writes its port to the
// port file once it listens and ends when its standard input closes, so it
// cannot outlive the test that started it.
public final class KxEchoService {
  static final String FAULT_MESSAGE = "scripted fault for the interop test";

  public static final class Echo implements KxService {
    @Override
    public byte[] invoke(byte[] document) {
      String text = new String(document, StandardCharsets.ISO_8859_1);
      if (text.contains("<ACTION>FAULT</ACTION>")) {
        throw new IllegalStateException(FAULT_MESSAGE);
      }
      byte[] prefix = "ECHO:".getBytes(StandardCharsets.US_ASCII);
      byte[] reply = new byte[prefix.length + document.length];
      System.arraycopy(prefix, 0, reply, 0, prefix.length);
      System.arraycopy(document, 0, reply, prefix.length, document.length);
      return reply;
    }
  }

  private static void send(HttpExchange exchange, int status, String contentType, byte[] body)
      throws IOException {
    exchange.getResponseHeaders().set("Content-Type", contentType);
    exchange.sendResponseHeaders(status, body.length);
    try (OutputStream out = exchange.getResponseBody()) {
      out.write(body);
    }
  }

  public static void main(String[] args) throws Exception {
    if (args.length != 1) {
      System.err.println("usage: KxEchoService <port file>");
      System.exit(2);
    }
    final HessianSkeleton skeleton = new HessianSkeleton(new Echo(), KxService.class);
    HttpServer server =
        HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), 0), 16);
    server.createContext("/KxService", exchange -> {
      try {
        String type = exchange.getRequestHeaders().getFirst("Content-Type");
        if (!"POST".equals(exchange.getRequestMethod())) {
          send(exchange, 405, "text/plain", "POST only".getBytes(StandardCharsets.US_ASCII));
        } else if (!"x-application/hessian".equals(type)) {
          send(exchange, 415, "text/plain",
               ("unexpected Content-Type " + type).getBytes(StandardCharsets.US_ASCII));
        } else {
          byte[] request = exchange.getRequestBody().readAllBytes();
          ByteArrayOutputStream reply = new ByteArrayOutputStream();
          skeleton.invoke(new ByteArrayInputStream(request), reply);
          send(exchange, 200, "x-application/hessian", reply.toByteArray());
        }
      } catch (Exception e) {
        e.printStackTrace();
        send(exchange, 500, "text/plain", e.toString().getBytes(StandardCharsets.UTF_8));
      } finally {
        exchange.close();
      }
    });
    server.start();

    Path portFile = Paths.get(args[0]);
    Path tmp = Paths.get(args[0] + ".tmp");
    Files.write(tmp, (server.getAddress().getPort() + "\n").getBytes(StandardCharsets.US_ASCII));
    Files.move(tmp, portFile, StandardCopyOption.ATOMIC_MOVE);

    while (System.in.read() >= 0) {
      // wait for the end of standard input
    }
    server.stop(0);
    System.exit(0);
  }
}
