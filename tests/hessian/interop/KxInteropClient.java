import com.caucho.hessian.client.HessianProxyFactory;
import com.caucho.hessian.io.HessianServiceException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;

// Calls invoke(byte[]) with the Java implementation's Hessian client:
//   java KxInteropClient <url> hessian1|hessian2 <document file> <reply file> ...
// hessian1 sends Hessian 1.0 calls (asking for Hessian 2.0 replies, the
// client's default), hessian2 sends Hessian 2.0 calls. For each pair of files
// the document is sent and the reply written to the reply file; a fault
// writes "<code>\n<message>" to the reply file with ".fault" appended
// instead. Exits 0 when every call was answered, 1 otherwise.
public final class KxInteropClient {
  private static HessianServiceException faultOf(Throwable t) {
    for (Throwable c = t; c != null; c = c.getCause()) {
      if (c instanceof HessianServiceException) {
        return (HessianServiceException) c;
      }
    }
    return null;
  }

  public static void main(String[] args) throws Exception {
    if (args.length < 4 || args.length % 2 != 0) {
      System.err.println("usage: KxInteropClient <url> hessian1|hessian2 <document> <reply> ...");
      System.exit(2);
    }
    HessianProxyFactory factory = new HessianProxyFactory();
    factory.setHessian2Request("hessian2".equals(args[1]));
    KxService service = (KxService) factory.create(KxService.class, args[0]);
    for (int i = 2; i < args.length; i += 2) {
      byte[] document = Files.readAllBytes(Paths.get(args[i]));
      try {
        byte[] reply = service.invoke(document);
        Files.write(Paths.get(args[i + 1]), reply);
      } catch (Throwable t) {
        HessianServiceException fault = faultOf(t);
        if (fault == null) {
          t.printStackTrace();
          System.exit(1);
        }
        String text = fault.getCode() + "\n" + fault.getMessage();
        Files.write(Paths.get(args[i + 1] + ".fault"), text.getBytes(StandardCharsets.UTF_8));
      }
    }
    System.exit(0);
  }
}
